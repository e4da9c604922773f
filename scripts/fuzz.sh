#!/usr/bin/env bash
# Fuzzes every target of fuzz/ (the daemon's inputs, the bridge's commands, the classroom view's
# states) for a bounded time: builds the libFuzzer programs with clang, ASan and UBSan in
# build-fuzz/, then runs the targets two at a time, each for its share of SECONDS
# (default 60, the whole run). Each starts from its seed corpus (fuzz/corpus/<target>/) and its
# reproducers (fuzz/regressions/<target>/); what it learns stays in build-fuzz/corpus/<target>/.
# A crash, a hang or a broken check fails the script and leaves the input in
# build-fuzz/crashes/<target>/: copy it into fuzz/regressions/<target>/ with the fix, and the
# replay test runs it in every build from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
targets=(monitor_cmd hex servo_reply chain_parse monitor_lines mq_check room_state)
scripts/deps.sh cmake ninja-build clang libclang-rt-14-dev
build=${ORVANE_FUZZ_BUILD:-build-fuzz}
CXX=clang++ cmake -S . -B "$build" -G Ninja -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF -DORVANE_HOST_TOOLS=OFF \
  -DORVANE_WERROR=ON >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"

# Two at a time on two cores: the rounds share the time, so the whole run stays SECONDS long.
each=$((secs / ((${#targets[@]} + 1) / 2)))
[ "$each" -ge 1 ] || each=1
run() {  # run TARGET: fuzz it for $each seconds; its log in $build/fuzz-TARGET.log
  local t=$1
  mkdir -p "$build/corpus/$t" "$build/crashes/$t"
  "$build/fuzz/fuzz_$t" -max_total_time="$each" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/crashes/$t/" \
    "$build/corpus/$t" "fuzz/corpus/$t" "fuzz/regressions/$t" >"$build/fuzz-$t.log" 2>&1
}
passed=0 failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for t in "${targets[@]:i:2}"; do
    run "$t" &
    pids+=("$!:$t")
  done
  for p in "${pids[@]}"; do
    t=${p#*:}
    log="$build/fuzz-$t.log"
    if wait "${p%%:*}"; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
      corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' "$log" | tail -n 1)
      echo "fuzz $t: ${runs:-?} inputs in $each s, corpus ${corp:-?}, no fault"
      passed=$((passed + 1))
    else
      echo "fuzz $t: FAULT; the input is in $build/crashes/$t/, the log follows" >&2
      tail -n 40 "$log" >&2
      failed=$((failed + 1))
    fi
  done
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
