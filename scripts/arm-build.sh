#!/usr/bin/env bash
# Configures and builds the robot's build folder (cmake/armv6.cmake: ARM1176, static) with
# everything the robot gets: the daemon, orvane-web and the test programs.
#   scripts/arm-build.sh [BUILD]    (default build-armv6, or $ORVANE_ARM_BUILD)
# scripts/arm-test.sh and scripts/package.sh both build through it, so that they share one folder
# configured one way and neither rebuilds what the other built.
set -euo pipefail
cd "$(dirname "$0")/.."
# orvane-web: Debian's header-only Boost, nlohmann-json and CLI11, and npm to bundle its page.
scripts/deps.sh cmake ninja-build g++-arm-linux-gnueabi googletest \
  libboost-dev nlohmann-json3-dev libcli11-dev
command -v npm >/dev/null || scripts/deps.sh nodejs npm
build=${1:-${ORVANE_ARM_BUILD:-build-armv6}}

cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/armv6.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DORVANE_WEB=ON >/dev/null
ninja -C "$build" -j2
