#!/usr/bin/env bash
# Checks that every C and C++ source in the repository follows .clang-format
# (clang-format --dry-run -Werror); prints each file that does not and exits
# non-zero. `tools/check-format.sh --fix` formats them instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${sources[@]}"
  exit 0
fi
unformatted=()
for file in "${sources[@]}"; do
  clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [[ ${#unformatted[@]} -gt 0 ]]; then
  echo "check-format.sh: ${#unformatted[@]} file(s) do not follow .clang-format:" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  echo "check-format.sh: run tools/check-format.sh --fix" >&2
  exit 1
fi
echo "check-format.sh: ${#sources[@]} files follow .clang-format"
