#!/usr/bin/env bash
# The emulated-board suite: the robot's package from dist/ booted on QEMU's raspi0 by
# scripts/orvane-emu, with the virtual servo chain on its UART. Needs the package (the package
# script) and orvane-chain from the host build. Two boots (~60 % of a core each while the daemon
# ticks); the whole run is bounded, and a boot that hangs is tried once more and reported.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh cmake ninja-build g++ qemu-system-arm device-tree-compiler cpio python3-pytest \
  chromium chromium-driver python3-selenium
[ -f build/build.ninja ] ||
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON >/dev/null
ninja -C build orvane-chain
timeout --kill-after=30 "${ORVANE_EMU_LIMIT:-1200}" \
  /usr/bin/python3 -m pytest -v -rs -p no:cacheprovider tests/board-emu "$@"
