#!/usr/bin/env bash
# The main job: installs what the build needs, builds lumo_session into
# build/ and runs it. Arguments are passed on to lumo_session.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/install-deps.sh

generator=()
[[ -f build/CMakeCache.txt ]] || generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" \
  -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build build --target lumo_session -j2

exec ./build/tools/lumo_session "$@"
