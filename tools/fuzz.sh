#!/usr/bin/env bash
# Runs every fuzz target of a VEL_FUZZ build side by side for a bounded time, each over its
# own working corpus (grown under the build directory) and its committed seeds.
#   tools/fuzz.sh BUILD_DIR SECONDS
set -u
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)

# An input that takes longer than this is a finding.
timeout=10

# Every target fuzz_NAME seeds from fuzz/corpus/NAME and uses fuzz/NAME.dict, to which the
# dictionaries of the texts it reads first are added.
targets=$(cd "$build/fuzz" && ls fuzz_* | sed 's/^fuzz_//')
extra_seeds() {
  case $1 in
    source) echo "$root/tests/data/corpus $root/examples" ;;
    passes) echo "$root/fuzz/corpus/json $root/tests/data/expected" ;;
    config_toml) echo "$root/examples" ;;
  esac
}
dictionaries() {
  case $1 in
    passes|config_json) echo "$root/fuzz/json.dict $root/fuzz/$1.dict" ;;
    *) echo "$root/fuzz/$1.dict" ;;
  esac
}

pids=""
for target in $targets; do
  work="$build/corpus/$target"
  mkdir -p "$work" "$build/findings/$target"
  # shellcheck disable=SC2046
  cat $(dictionaries "$target") > "$build/$target.dict"
  # shellcheck disable=SC2046
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout="$timeout" -print_final_stats=1 \
    -dict="$build/$target.dict" -artifact_prefix="$build/findings/$target/" \
    "$work" "$root/fuzz/corpus/$target" $(extra_seeds "$target") > "$build/fuzz_$target.log" 2>&1 &
  pids="$pids $!"
done

status=0
set -- $pids
for target in $targets; do
  wait "$1" || status=1
  shift
  log="$build/fuzz_$target.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -n 1 | sed 's/corp: //')
  echo "fuzz_$target: ${runs:-?} runs, ${speed:-?} per second, corpus ${corpus:-?} (inputs/bytes)"
  if grep -q "^==[0-9]*==ERROR\|^SUMMARY: \|Test unit written" "$log"; then
    status=1
    echo "fuzz_$target found a fault; the end of $log:"
    tail -n 40 "$log"
  fi
done
exit $status
