#!/usr/bin/env bash
# Configures and builds the robot's build folder (cmake/armv6.cmake: ARM1176, static) with
# everything the robot gets: the daemon, orvane-web, orvane-mqtt and the test programs.
#   scripts/arm-build.sh [BUILD [TARGET...]]    (default build-armv6, or $ORVANE_ARM_BUILD; all)
# scripts/arm-test.sh and scripts/package.sh both build through it, so that they share one folder
# configured one way and neither rebuilds what the other built.
set -euo pipefail
cd "$(dirname "$0")/.."
# orvane-web: Debian's header-only Boost, nlohmann-json and CLI11, and npm to bundle its page.
scripts/deps.sh cmake ninja-build g++-arm-linux-gnueabi googletest \
  libboost-dev nlohmann-json3-dev libcli11-dev
command -v npm >/dev/null || scripts/deps.sh nodejs npm
build=${1:-${ORVANE_ARM_BUILD:-build-armv6}}
shift || true
# orvane-mqtt: Paho's and OpenSSL's armel static libraries, unpacked into the build folder.
scripts/arm-deps.sh "$build"

cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/armv6.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DORVANE_WEB=ON -DORVANE_MQTT=ON -DORVANE_ARMEL_ROOT="$(cd "$build" && pwd)/armel/root" >/dev/null
# A static program that calls getaddrinfo makes the linker warn (two lines per program) that it
# needs, at run time, the name-service modules of the glibc it was linked with. The C library
# answers "files" and "dns" itself; only other services named in the robot's nsswitch.conf (mDNS)
# would be loaded from the system's armhf glibc, which a static armel program cannot: so the
# robot's orvane-web and orvane-mqtt take /etc/hosts names and addresses, not .local names
# (docs/deploy.md). orvane-mqtt's OpenSSL brings two more such warnings: gethostbyname, in a
# function Paho does not call, and dlopen, for engines and provider modules loaded from files,
# which the robot's build uses none of (its algorithms are built in).
# Each warning is replaced by one line that points here (sed -u: the build's lines go on
# showing as they come).
ninja -C "$build" -j2 "$@" 2>&1 | sed -u -e '/: in function /{N
  s|^.*\n.*Using .\([a-z]*\). in statically linked applications.*$|arm-build: \1 in a static program: expected, see scripts/arm-build.sh|
}'
