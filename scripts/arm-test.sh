#!/usr/bin/env bash
# Cross-builds orvane and its tests for the robot's CPU (cmake/armv6.cmake: ARM1176, ARMv6 with
# VFPv2, static) and runs every test program under qemu's emulation of that CPU; the programs that
# tests start as processes (orvane-sim, orvane) run on the emulated CPU too (ORVANE_EMULATOR).
# The robot's programs themselves, the daemon, orvane-web and orvane-mqtt, are checked first
# (scripts/arm-check.sh).
# Extra arguments go to each test program, e.g. --gtest_filter=Interp.*
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh qemu-user
build=${ORVANE_ARM_BUILD:-build-armv6}
cpu=(qemu-arm -cpu arm1176)

scripts/arm-build.sh "$build"
scripts/arm-check.sh "$build/daemon/orvane" "$build/host/web/orvane-web" "$build/host/mqtt/orvane-mqtt"

mapfile -t programs < <(grep -v '^$' "$build/test-programs.txt")
[ ${#programs[@]} -gt 0 ] || { echo "armv6: no test programs listed" >&2; exit 1; }

passed=0 failed=0 skipped=0 broken=()
# run NAME COMMAND...: one test program's run, its log in $build/NAME.log, its counts added up.
run() {
  local name=$1 log=$build/$1.log status=0 p f s
  shift
  "$@" >"$log" 2>&1 || status=$?
  # gtest's closing lines: "[  PASSED  ] N tests.", "[  SKIPPED ] N tests, listed below:", ...
  count() { sed -n "s/^\[  $1 *\] \([0-9]*\) tests\{0,1\}[.,].*/\1/p" "$log" | tail -n 1; }
  p=$(count PASSED) f=$(count FAILED) s=$(count SKIPPED)
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0})) skipped=$((skipped + ${s:-0}))
  # The closing list of skipped and failed tests, and each distinct reason given for a skip.
  grep -E '^\[  (SKIPPED|FAILED) +\] [A-Za-z_][^ ]*$' "$log" || true
  grep -A1 ': Skipped$' "$log" | grep -vE ': Skipped$|^--$' | sort -u | sed 's/^/  skip reason: /' || true
  if [ "$status" -ne 0 ] || [ -z "$p" ]; then
    broken+=("$name")
    echo "$name: exit status $status; its output follows" >&2
    tail -n 60 "$log" >&2
  fi
}

for prog in "${programs[@]}"; do
  name=$(basename "$prog")
  echo "--- $name under ${cpu[*]}"
  run "$name" env ORVANE_EMULATED=1 ORVANE_EMULATOR="${cpu[*]}" GTEST_COLOR=no timeout 900 \
    "${cpu[@]}" "$prog" "$@"
done

# The robot's orvane-mqtt against the PC's broker (Debian's mosquitto) and orvane-sim: the PC's
# MQTT tests, run natively, start the ARMv6 bridge on the emulated CPU for each robot. The robot's
# build plays no motions, so the test of the class-wide stop of motions is skipped there. The
# test program and orvane-sim come from the PC's build folder ($ORVANE_HOST_BUILD, ./run-tests'
# build/, configured here as ./run-tests does when it is missing).
host_build=${ORVANE_HOST_BUILD:-build}
scripts/deps.sh libpaho-mqtt-dev libssl-dev mosquitto mosquitto-clients openssl
[ -f "$host_build/build.ninja" ] ||
  cmake -S . -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON >/dev/null
ninja -C "$host_build" -j2 mqtt_tests orvane-sim
echo "--- mqtt_tests with the bridge under ${cpu[*]}"
run mqtt_tests-armv6-bridge env ORVANE_MQTT_BRIDGE="${cpu[*]} $(cd "$build" && pwd)/host/mqtt/orvane-mqtt" \
  GTEST_COLOR=no timeout 600 "$host_build/tests/mqtt_tests" --gtest_filter='Fleet*' "$@"

echo "armv6: $passed passed, $failed failed, $skipped skipped"
if [ ${#broken[@]} -ne 0 ] || [ "$failed" -ne 0 ] || [ "$passed" -eq 0 ]; then
  exit 1
fi
