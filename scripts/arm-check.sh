#!/usr/bin/env bash
# Checks that programs built for the robot run on its CPU, the BCM2835's ARM1176 (ARMv6 with
# VFPv2, no Thumb-2, no NEON), and need none of its libraries:
#   scripts/arm-check.sh FILE...
# Every file gets the build checks (check_build): its build attributes (readelf -A) must name no
# architecture above ARMv6, no Thumb-2 and no floating-point unit beyond VFPv2, and it must be
# statically linked. A file named `orvane` (the daemon) also gets a run (check_daemon_run): under
# qemu's ARM1176 on a machine without /dev/mem it must print "error: cannot open /dev/mem" and
# end with status 255. A file named `orvane-mqtt` (the bridge) must answer --version and --help
# there and refuse --motions (check_bridge_run); its broker side runs in scripts/arm-test.sh's
# MQTT tests. Other programs, such as orvane-web, have their own run elsewhere.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: scripts/arm-check.sh FILE..." >&2; exit 2; }

fail=0
bad() { echo "arm-check: $1: $2" >&2; fail=1; this=1; }

# Architectures the ARM1176 (ARMv6KZ) runs; ARMv6T2 and later have Thumb-2 or more.
arch_ok='^(Pre-v4|v4|v4T|v5T|v5TE|v5TEJ|v6|v6KZ|v6K)$'

# Runs the daemon where no /dev/mem exists. Where this machine has one, the daemon would map its
# memory: then it runs in a mount namespace with an empty /dev, or not at all.
run_daemon() {
  if [ ! -e /dev/mem ]; then
    qemu-arm -cpu arm1176 "$1"
  elif unshare -m true 2>/dev/null; then
    # shellcheck disable=SC2016  # $1 is the inner shell's
    unshare -m sh -c 'mount -t tmpfs none /dev && exec qemu-arm -cpu arm1176 "$1"' sh "$1"
  else
    echo "skipped: this machine has /dev/mem and no private mount namespace" >&2
    return 200
  fi
}

# orvane-mqtt links GCC's libatomic for OpenSSL's 64-bit atomics. Each of its 8-byte operations
# comes with an ARMv7 variant (LDREXD, DMB) chosen at run time by a flag, libat_have_strexbhd,
# that the static library never sets: the kernel helper's variant is what runs, on any CPU, and
# the bridge's tests on qemu's ARM1176 run it. The v7 variants are linked but never called, yet
# they mark the whole file ARMv7 and Thumb-2: for this file only, those two marks are let through;
# its floating point and SIMD are checked as for any other.
v7_marks_from_libatomic='^orvane-mqtt$'

# check_build FILE: the instruction set and floating point the file was built for, and static.
# Fails only when FILE is no ELF file at all.
check_build() {
  local f=$1 attrs arch thumb fp simd note=''
  attrs=$(readelf -A "$f") || { bad "$f" "not an ELF file"; return 1; }
  tag() { sed -n "s/^ *Tag_$1: *//p" <<<"$attrs"; }
  arch=$(tag CPU_arch) thumb=$(tag THUMB_ISA_use) fp=$(tag FP_arch) simd=$(tag Advanced_SIMD_arch)
  if [[ $(basename "$f") =~ $v7_marks_from_libatomic && $arch == v7 ]]; then
    note=" (libatomic's unused ARMv7 variants; see scripts/arm-check.sh)"
  else
    [[ $arch =~ $arch_ok ]] || bad "$f" "architecture '${arch:-none}' is above the ARM1176's ARMv6"
    [[ -z $thumb || $thumb == Thumb-1 ]] || bad "$f" "uses $thumb; the ARM1176 has Thumb-1 only"
  fi
  [[ -z $fp || $fp =~ ^VFPv[12]$ ]] || bad "$f" "floating point $fp; the ARM1176 has VFPv2"
  [[ -z $simd ]] || bad "$f" "uses $simd; the ARM1176 has none"
  if readelf -lW "$f" | grep -q 'Requesting program interpreter'; then
    bad "$f" "is linked dynamically; a robot program must need none of the system's libraries"
  fi
  [ "$this" -eq 1 ] || echo "arm-check: $f: $arch, ${thumb:-no Thumb}, ${fp:-no FPU}, static$note"
}

# check_bridge_run FILE: the bridge on the emulated CPU answers --version and --help, and
# refuses --motions.
check_bridge_run() {
  local f=$1 out status=0
  out=$(qemu-arm -cpu arm1176 "$f" --version 2>&1) || status=$?
  if [ "$status" -ne 0 ] || [[ $out != "orvane-mqtt (orvane) "* ]]; then
    bad "$f" "--version on the emulated ARM1176: status $status and output '$out'"
    return
  fi
  qemu-arm -cpu arm1176 "$f" --help 2>&1 | grep -q -- '--broker' ||
    { bad "$f" "--help on the emulated ARM1176 names no --broker"; return; }
  # Built without the motion library: --motions is a usage error that names this program.
  status=0
  motions=$(qemu-arm -cpu arm1176 "$f" --motions / 2>&1) || status=$?
  [ "$status" -eq 2 ] && [[ $motions == "orvane-mqtt: --motions: the robot's build"* ]] ||
    { bad "$f" "--motions: status $status and output '$motions'; want 2 and the robot build's refusal"; return; }
  echo "arm-check: $f: --version, --help and --motions on the emulated ARM1176: '$out'"
}

# check_daemon_run FILE: the daemon on the emulated CPU, where it finds no /dev/mem.
check_daemon_run() {
  local f=$1 status=0 out
  out=$(run_daemon "$f" 2>&1) || status=$?
  if [ "$status" -eq 200 ]; then
    return
  elif [ "$status" -ne 255 ] || [ "$out" != "error: cannot open /dev/mem" ]; then
    bad "$f" "without /dev/mem: status $status and output '$out'; want 255 and 'error: cannot open /dev/mem'"
  else
    echo "arm-check: $f: without /dev/mem on the emulated ARM1176: '$out', status 255"
  fi
}

for f in "$@"; do
  this=0
  check_build "$f" || continue
  case $(basename "$f") in
    orvane) check_daemon_run "$f" ;;
    orvane-mqtt) check_bridge_run "$f" ;;
  esac
done
exit "$fail"
