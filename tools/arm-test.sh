#!/usr/bin/env bash
# Cross-builds orvane and its tests for the robot's 32-bit ARM (armhf) and runs every test program
# under qemu's user-mode emulation; the programs that tests start as processes (orvane-sim, orvane)
# run through the emulator too (ORVANE_EMULATOR). Extra arguments go to each test program,
# e.g. --gtest_filter=Interp.*
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh cmake ninja-build g++-arm-linux-gnueabihf qemu-user googletest
build=${ORVANE_ARM_BUILD:-build-armhf}
sysroot=/usr/arm-linux-gnueabihf

cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON >/dev/null
ninja -C "$build" -j2

mapfile -t programs < <(grep -v '^$' "$build/test-programs.txt")
[ ${#programs[@]} -gt 0 ] || { echo "armhf: no test programs listed" >&2; exit 1; }

passed=0 failed=0 skipped=0 broken=()
for prog in "${programs[@]}"; do
  name=$(basename "$prog")
  log="$build/$name.log"
  echo "--- $name under qemu-arm"
  status=0
  ORVANE_EMULATED=1 ORVANE_EMULATOR="qemu-arm -L $sysroot" GTEST_COLOR=no timeout 900 \
    qemu-arm -L "$sysroot" "$prog" "$@" >"$log" 2>&1 || status=$?
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
done

echo "armhf: $passed passed, $failed failed, $skipped skipped"
[ ${#broken[@]} -eq 0 ] && [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
