#!/usr/bin/env bash
# Downloads Debian armel packages into a cache folder, each once, and prints their paths, one a
# line, in the order asked:   scripts/armel-fetch.sh CACHE PACKAGE[:armel]...
# Nothing is installed: the callers unpack what they need (dpkg-deb -x). This is how the robot's
# build gets the armel libraries it links (scripts/arm-deps.sh) and the emulated board its kernel
# and busybox (scripts/emu/bootset.sh): multiarch could not install them beside a newer amd64
# build of the same library (libssl3 had a security point release that armel had not yet), while
# a download needs only armel's package lists.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: scripts/armel-fetch.sh CACHE PACKAGE..." >&2; exit 2; }
cache=$1
shift
mkdir -p "$cache"

# apt-get download needs armel's lists; adding the architecture is root's.
lists_ready=0
need_lists() {
  [ "$lists_ready" -eq 1 ] && return
  if ! dpkg --print-foreign-architectures | grep -qx armel; then
    [ "$(id -u)" -eq 0 ] ||
      { echo "armel-fetch: run 'dpkg --add-architecture armel && apt-get update' as root" >&2; exit 1; }
    dpkg --add-architecture armel
    apt-get update -qq >&2
  fi
  lists_ready=1
}

# cached PACKAGE: its newest .deb in the cache, or nothing.
cached() { find "$cache" -maxdepth 1 -name "${1}_*_armel.deb" | sort | tail -n 1; }

# One apt-get for every package missing: each run reads all the package lists, which takes
# tens of seconds on a busy machine.
missing=()
for want in "$@"; do
  [ -n "$(cached "${want%%:*}")" ] || missing+=("${want%%:*}:armel")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_lists
  # Lists older than the archive name files it no longer has: refresh them once and retry.
  # As root apt says it downloads unsandboxed; that is expected here.
  (cd "$cache" && apt-get download "${missing[@]}" 2>/dev/null >&2) ||
    { apt-get update -qq >&2 && (cd "$cache" && apt-get download "${missing[@]}" >&2); } ||
    { echo "armel-fetch: cannot download ${missing[*]}" >&2; exit 1; }
fi
for want in "$@"; do
  f=$(cached "${want%%:*}")
  [ -n "$f" ] || { echo "armel-fetch: ${want%%:*}:armel downloaded, but no .deb of it in $cache" >&2; exit 1; }
  echo "$f"
done
