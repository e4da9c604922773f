#!/usr/bin/env bash
# Builds both Debian packages into dist/:
#   dist/orvane_<version>_armhf.deb          for the robot: the static ARMv6 daemon, its systemd
#                                            service, log rotation, orvane-doctor, orvane-web and
#                                            orvane-mqtt with its service (installed disabled)
#   dist/orvane-tools_<version>_<arch>.deb   for the PC: orvane-sim, orvane-ctl, orvane-web, the
#                                            Python module, the C++ client library with its header
#                                            and CMake package, example motions, the host guides
# Each package is staged with `cmake --install --component robot|tools`, so a file joins a
# package through its install rule; the build folders build only the target `packaged` (what
# those rules install), no test program. The folders are reused: the host one is ./run-tests'
# build/ ($ORVANE_HOST_BUILD), the robot's is scripts/arm-build.sh's build-armv6/
# ($ORVANE_ARM_BUILD), so after those two a run only stages and packs. The version is the build's
# (project() in CMakeLists.txt), the Maintainer and descriptions are in packaging/control.
# scripts/package-check.sh checks the result.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake ninja-build g++ libgtest-dev dpkg-dev libcli11-dev libyaml-cpp-dev liburdfdom-dev \
  libboost-dev nlohmann-json3-dev
command -v npm >/dev/null || scripts/deps.sh nodejs npm
umask 022
host_build=${ORVANE_HOST_BUILD:-build}
arm_build=${ORVANE_ARM_BUILD:-build-armv6}
dist=dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Same settings as ./run-tests, so that its build serves as it is (the install prefix changes no
# compiled file); a sanitizer or fuzzing build of that folder is turned back into a plain one.
cmake -S . -B "$host_build" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr -DORVANE_SANITIZE= -DORVANE_FUZZ=OFF >/dev/null
ninja -C "$host_build" -j2 packaged
scripts/arm-build.sh "$arm_build" packaged

# The version: the build's, plus the commit count and hash, so that every commit's package
# upgrades the one before it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$host_build/CMakeCache.txt")
[ -n "$version" ] || { echo "package: no project version in $host_build" >&2; exit 1; }
# stanza [PACKAGE]: PACKAGE's stanza of packaging/control, or without PACKAGE the common one.
stanza() {
  grep -v '^#' packaging/control | awk -v RS= -F '\n' -v want="${1:-}" '
    (want == "" && NR == 1) || (want != "" && $1 == "Package: " want) { print; exit }'
}
maintainer=${ORVANE_MAINTAINER:-$(stanza | sed -n 's/^Maintainer: //p')}
[ -n "$maintainer" ] || { echo "package: no Maintainer in packaging/control" >&2; exit 1; }
if git rev-parse --verify -q HEAD >/dev/null; then
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
  # Programs without their symbols and the compiler's notes, static libraries without their
  # debugging information; the build folder keeps them.
  local strip
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")
  find "$dir" -type f -perm -u+x -exec sh -c 'head -c4 "$1" | grep -q "^.ELF"' sh {} \; \
    -exec "$strip" --strip-all --remove-section=.comment --remove-section=.note {} \;
  find "$dir" -type f -name '*.a' -exec "$strip" --strip-debug --remove-section=.comment \
    --remove-section=.note --enable-deterministic-archives {} \;
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

# control PACKAGE ARCH FIELDS...: DEBIAN/control with the fields made here, FIELDS, then those
# of packaging/control.
control() {
  local pkg=$1 arch=$2 dir=$work/$1
  shift 2
  {
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\n' "$pkg" "$version" "$arch"
    printf 'Maintainer: %s\n' "$maintainer"
    printf 'Installed-Size: %s\n' "$(du -sk --exclude=DEBIAN "$dir" | cut -f1)"
    printf '%s\n' "$@"
    stanza | grep -v '^Maintainer: '
    stanza "$pkg" | grep -v '^Package: '
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

# The robot's package. Its programs are static: the sources of the libraries linked into them
# are named in Built-Using: the C and C++ libraries (with libatomic) of the cross toolchain,
# and orvane-mqtt's Paho and OpenSSL, whose armel packages scripts/arm-deps.sh unpacked.
stage orvane robot "$arm_build"
install -m 0755 packaging/postinst packaging/prerm packaging/postrm "$work/orvane/DEBIAN/"
built_using=$( (dpkg-query -W -f='${source:Package} (= ${source:Version})\n' \
  libc6-dev-armel-cross libstdc++-12-dev-armel-cross libgcc-12-dev-armel-cross
  cat "$arm_build/armel/built-using") | sort -u | paste -sd, | sed 's/,/, /g')
control orvane armhf "Built-Using: $built_using"
build_deb orvane armhf

# The PC package: its libraries come from the programs' own dependencies. Its maintainer scripts
# byte-compile the Python module and clean up after it.
stage orvane-tools tools "$host_build"
install -m 0755 packaging/orvane-tools.postinst "$work/orvane-tools/DEBIAN/postinst"
install -m 0755 packaging/orvane-tools.prerm "$work/orvane-tools/DEBIAN/prerm"
mkdir -p "$work/shlibs/debian"
printf 'Source: orvane\n\nPackage: orvane-tools\nArchitecture: any\n' >"$work/shlibs/debian/control"
mapfile -t elves < <(find "$work/orvane-tools" -type f -perm -u+x -exec sh -c \
  'head -c4 "$1" | grep -q "^.ELF"' sh {} \; -print)
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O "${elves[@]/#/-e}" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
control orvane-tools "$(dpkg --print-architecture)" "Depends: $depends"
build_deb orvane-tools "$(dpkg --print-architecture)"
