#!/usr/bin/env bash
# Builds both Debian packages into dist/:
#   dist/orvane_<version>_armhf.deb          for the robot: the static ARMv6 daemon, its systemd
#                                            service, log rotation, orvane-doctor and orvane-web
#   dist/orvane-tools_<version>_<arch>.deb   for the PC: orvane-sim and the host tools
# Each package is staged with `cmake --install --component robot|tools`, so a program joins a
# package through its install rule. The build folders of ./run-tests (build/) and of
# scripts/arm-test.sh (build-armv6/) are reused; only what is missing is built.
# scripts/package-check.sh checks the result.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake ninja-build g++ libgtest-dev dpkg-dev libcli11-dev help2man libyaml-cpp-dev \
  libboost-dev nlohmann-json3-dev
command -v npm >/dev/null || scripts/deps.sh nodejs npm
umask 022
host_build=${ORVANE_HOST_BUILD:-build}
arm_build=${ORVANE_ARM_BUILD:-build-armv6}
dist=dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Same settings as ./run-tests, so that its build serves as it is; the robot's build is
# scripts/arm-test.sh's, made by the script they share.
cmake -S . -B "$host_build" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
ninja -C "$host_build" -j2
scripts/arm-build.sh "$arm_build"

# The version: the project's, plus the commit count and hash, so that every commit's package
# upgrades the one before it.
version=$(sed -n 's/^project(orvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
maintainer=${ORVANE_MAINTAINER:-orvane developers <orvane@localhost>}
if git rev-parse --verify -q HEAD >/dev/null; then
  maintainer=${ORVANE_MAINTAINER:-$(git log -1 --format='%an <%ae>')}
  version+="+git$(git rev-list --count HEAD).$(git rev-parse --short=8 HEAD)"
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}

# stage PACKAGE COMPONENT BUILD: the component's files in $work/PACKAGE, stripped, with the man
# pages compressed and the package's copyright and changelog.
stage() {
  local pkg=$1 component=$2 build=$3 dir=$work/$1
  mkdir -p "$dir/DEBIAN"
  DESTDIR=$dir cmake --install "$build" --component "$component" >/dev/null
  # Programs without their symbols and the compiler's notes; the build folder keeps them.
  local strip
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")
  find "$dir" -type f -perm -u+x -exec sh -c 'head -c4 "$1" | grep -q "^.ELF"' sh {} \; \
    -exec "$strip" --strip-all --remove-section=.comment --remove-section=.note {} \;
  if [ -d "$dir/usr/share/man" ]; then
    find "$dir/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
  fi
  local doc=$dir/usr/share/doc/$pkg
  mkdir -p "$doc"
  cp packaging/copyright "$doc/copyright"
  { printf '%s (%s) unstable; urgency=medium\n\n' "$pkg" "$version"
    printf '  * Built from commit %s.\n\n' "$(git rev-parse --short=8 HEAD 2>/dev/null || echo unknown)"
    printf ' -- %s  %s\n' "$maintainer" "$(date -R -u -d "@$SOURCE_DATE_EPOCH")"
  } | gzip -9n >"$doc/changelog.gz"
  # Everything under /etc is the administrator's to change: a conffile.
  if [ -d "$dir/etc" ]; then
    (cd "$dir" && find etc -type f | sort | sed 's|^|/|') >"$dir/DEBIAN/conffiles"
  fi
}

# sums PACKAGE: DEBIAN/md5sums, for debsums and dpkg --verify.
sums() {
  (cd "$work/$1" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0r md5sum) >"$work/$1/DEBIAN/md5sums"
}

# control PACKAGE ARCH FIELDS...: DEBIAN/control with the common fields, then FIELDS.
control() {
  local pkg=$1 arch=$2 dir=$work/$1
  shift 2
  {
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\n' "$pkg" "$version" "$arch"
    printf 'Maintainer: %s\nSection: electronics\nPriority: optional\n' "$maintainer"
    printf 'Installed-Size: %s\n' "$(du -sk --exclude=DEBIAN "$dir" | cut -f1)"
    printf '%s\n' "$@"
  } >"$dir/DEBIAN/control"
}

build_deb() {
  sums "$1"
  mkdir -p "$dist"
  local out=$dist/${1}_${version}_$2.deb
  rm -f "$dist/${1}_"*"_$2.deb"
  dpkg-deb --root-owner-group -Zxz --build "$work/$1" "$out" >/dev/null
  echo "$out"
}

# The robot's package. Its programs are static: the sources of the C and C++ libraries linked
# into them are named in Built-Using.
stage orvane robot "$arm_build"
install -m 0755 packaging/postinst packaging/prerm packaging/postrm "$work/orvane/DEBIAN/"
built_using=$(dpkg-query -W -f='${source:Package} (= ${source:Version}), ' \
  libc6-dev-armel-cross libstdc++-12-dev-armel-cross | sed 's/, $//')
control orvane armhf \
  "Recommends: logrotate" \
  "Built-Using: $built_using" \
  "Description: controller daemon for a small servo robot (BCM2835)" \
  " orvane drives a chain of serial bus servos, five switch inputs and two I2C" \
  " LED boards from a 4096-byte memory map, which host programs read and write" \
  " over TCP (port 6498). This package holds the daemon, built statically for" \
  " the BCM2835's ARMv6 CPU, its systemd service, log rotation for its output," \
  " orvane-doctor, which checks the board's set-up, and orvane-web, a live view" \
  " of the robot in a browser, built the same way."
build_deb orvane armhf

# The PC package: its libraries come from the programs' own dependencies.
stage orvane-tools tools "$host_build"
mkdir -p "$work/shlibs/debian"
printf 'Source: orvane\n\nPackage: orvane-tools\nArchitecture: any\n' >"$work/shlibs/debian/control"
mapfile -t elves < <(find "$work/orvane-tools" -type f -perm -u+x -exec sh -c \
  'head -c4 "$1" | grep -q "^.ELF"' sh {} \; -print)
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O "${elves[@]/#/-e}" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
control orvane-tools "$(dpkg --print-architecture)" \
  "Depends: $depends" \
  "Description: desktop tools for the orvane robot controller" \
  " orvane-sim runs the orvane daemon's own code on a PC with a virtual servo" \
  " chain, virtual switches and virtual LED boards, so that host programs can" \
  " be written and tried with no robot at hand. The package also holds the" \
  " host tools that talk to a robot's monitor port."
build_deb orvane-tools "$(dpkg --print-architecture)"
