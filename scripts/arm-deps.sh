#!/usr/bin/env bash
# The Debian libraries the robot's orvane-mqtt links statically, Eclipse Paho's C client and
# OpenSSL, unpacked from their armel packages into the robot's build folder:
#   scripts/arm-deps.sh BUILD      (scripts/arm-build.sh runs it)
# BUILD/armel/debs keeps the downloads, BUILD/armel/root the unpacked files (usr/include,
# usr/lib/arm-linux-gnueabi/*.a), BUILD/armel/built-using the packages' sources and versions
# for the robot package's Built-Using. A folder already unpacked is used as it is: no download.
# Delete BUILD/armel to take Debian's current versions.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$1/armel
packages=(libpaho-mqtt-dev libssl-dev)
stamp=$dir/root/.unpacked

[ -f "$stamp" ] && [ -f "$dir/built-using" ] && [ "$(cat "$stamp")" = "${packages[*]}" ] && exit 0
mapfile -t debs < <("$here/armel-fetch.sh" "$dir/debs" "${packages[@]}")
[ ${#debs[@]} -eq ${#packages[@]} ] || { echo "arm-deps: not every package was downloaded" >&2; exit 1; }
rm -rf "$dir/root" "$dir/root.tmp"
mkdir -p "$dir/root.tmp"
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$dir/root.tmp"
done
for deb in "${debs[@]}"; do
  # Source is absent when it equals the package's name; it may carry its own version in brackets.
  src=$(dpkg-deb -f "$deb" Source)
  src=${src:-$(dpkg-deb -f "$deb" Package)}
  ver=$(dpkg-deb -f "$deb" Version)
  case "$src" in *"("*) ver=${src#*(}; ver=${ver%)}; src=${src%% *} ;; esac
  echo "$src (= $ver)"
done >"$dir/built-using"
echo "${packages[*]}" >"$dir/root.tmp/.unpacked"
mv "$dir/root.tmp" "$dir/root"
echo "arm-deps: unpacked ${debs[*]##*/} into $dir/root" >&2
