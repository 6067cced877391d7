#!/usr/bin/env bash
# Runs the checks of `make test`, every one whatever the others gave, and ends with one line
# that counts what ran, "N passed, N failed"; fails when anything failed. A step is
#   ctest:DIR       CTest in the build directory DIR, each of its tests counted
#   check:COMMAND   a shell command that counts as one test
# Usage: tools/run-tests.sh JOBS STEP...
set -u
jobs=${1:?usage: tools/run-tests.sh JOBS STEP...}
shift

passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

count() {
  if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

# CTest's output is shown as it comes, and its tests counted from its summary ("95% tests
# passed, 3 tests failed out of 60"); a run that fails otherwise (no tests, no summary)
# counts as one failure.
run_ctest() {
  local rc counts bad total
  ctest --test-dir "$1" --output-on-failure --no-tests=error -j "$jobs" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log")
  if [ -z "$counts" ]; then
    count "$rc"
    return
  fi
  read -r bad total <<<"$counts"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$bad" -eq 0 ] && [ "$rc" -ne 0 ]; then count "$rc"; fi
}

for step in "$@"; do
  case "$step" in
    ctest:*) run_ctest "${step#ctest:}" ;;
    check:*) bash -c "${step#check:}"; count $? ;;
    *) echo "$(basename "$0"): unknown step: $step" >&2; count 1 ;;
  esac
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
