#!/usr/bin/env bash
# tools/install-deps.sh against a stubbed apt-get, dpkg-query, dpkg and id
# on the PATH (no network, no root): what it does when indexes or
# downloads fail now and then, or a package cannot be had.
#
# The stubs' behaviour comes from files in $STUB (counters count down on
# each call): update_fails (updates that fail before one succeeds),
# install_fails (installs that fail before one succeeds), unavailable
# (packages no install can get, one per line). Every apt-get call is
# logged in $STUB/calls.
set -euo pipefail

script=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

make_stubs() {
  local bin=$work/bin
  mkdir -p "$bin"
  cat >"$bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
countdown() {  # succeeds once the counter in file $1 is down to zero
  local left
  left=$(cat "$STUB/$1" 2>/dev/null || echo 0)
  if [[ $left -gt 0 ]]; then
    echo $((left - 1)) >"$STUB/$1"
    return 1
  fi
}
case "$1" in
  update)
    countdown update_fails || { echo "E: File has unexpected size. Mirror sync in progress?" >&2; exit 100; }
    ;;
  install)
    for word in "$@"; do
      if grep -qxF -- "$word" "$STUB/unavailable" 2>/dev/null; then
        echo "E: Unable to locate package $word" >&2
        exit 100
      fi
    done
    [[ " $* " == *" -s "* ]] && exit 0
    countdown install_fails || { echo "E: Failed to fetch ... Connection reset" >&2; exit 100; }
    ;;
esac
exit 0
EOF
  cat >"$bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# Every package is installed except those listed in $STUB/missing.
package=${*: -1}
if grep -qxF -- "$package" "$STUB/missing" 2>/dev/null; then
  exit 1
fi
printf 'install ok installed'
EOF
  printf '#!/usr/bin/env bash\nexit 0\n' >"$bin/dpkg"
  printf '#!/usr/bin/env bash\necho 0\n' >"$bin/id"
  chmod +x "$bin"/*
}

# run NAME EXPECTED_CODE: runs the script with the stubs set up so far.
run() {
  local name=$1 expected=$2 code=0
  PATH=$work/bin:$PATH STUB=$work/stub LUMO_APT_RETRY_PAUSE=0 \
    bash "$script" >"$work/out" 2>"$work/err" || code=$?
  if [[ $code -ne $expected ]]; then
    echo "FAIL $name: exit $code, expected $expected"
    sed 's/^/  /' "$work/err"
    failures=$((failures + 1))
    return 1
  fi
}

expect_calls() {  # NAME PATTERN COUNT: apt-get calls matching PATTERN
  local name=$1 pattern=$2 count=$3 seen
  seen=$(grep -c -- "$pattern" "$work/stub/calls" 2>/dev/null || true)
  if [[ $seen -ne $count ]]; then
    echo "FAIL $name: $seen calls matching '$pattern', expected $count"
    sed 's/^/  /' "$work/stub/calls" 2>/dev/null || true
    failures=$((failures + 1))
  fi
}

expect_said() {  # NAME TEXT: the script's standard error says TEXT
  if ! grep -qF -- "$2" "$work/err"; then
    echo "FAIL $1: did not say '$2'"
    sed 's/^/  /' "$work/err"
    failures=$((failures + 1))
  fi
}

fresh() {  # a new case: nothing failing, one package missing
  rm -rf "$work/stub"
  mkdir -p "$work/stub"
  echo libpng-dev >"$work/stub/missing"
}

make_stubs

fresh
rm "$work/stub/missing"
run "nothing missing" 0 && expect_calls "nothing missing" "apt-get" 0

fresh
echo 2 >"$work/stub/update_fails"
run "index refreshed on the third try" 0 &&
  expect_calls "index refreshed on the third try" "apt-get update" 3 &&
  expect_calls "index refreshed on the third try" "apt-get install" 1

fresh
echo 9 >"$work/stub/update_fails"
run "an index that never comes" 0 &&
  expect_calls "an index that never comes" "apt-get install" 1 &&
  expect_said "an index that never comes" "installing from those that came"

fresh
echo 1 >"$work/stub/install_fails"
run "a download failing once" 0 &&
  expect_calls "a download failing once" "apt-get install" 2 &&
  expect_calls "a download failing once" "apt-get update" 2

fresh
printf 'libpng-dev\numockdev\n' >"$work/stub/missing"
echo umockdev >"$work/stub/unavailable"
run "a package nobody has" 1 &&
  expect_said "a package nobody has" "cannot be installed: umockdev" &&
  expect_calls "a package nobody has" "apt-get install -s" 2

fresh
echo 9 >"$work/stub/install_fails"
run "downloads failing every time" 1 &&
  expect_said "downloads failing every time" "failed twice"

if [[ $failures -ne 0 ]]; then
  echo "$failures case(s) failed"
  exit 1
fi
echo "install-deps.sh: every case passed"
