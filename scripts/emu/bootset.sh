#!/usr/bin/env bash
# Builds the emulated board's boot set from Debian packages and the robot's package, caching
# every step:   scripts/emu/bootset.sh CACHE ROBOT.deb [PROGRAM...]
# PROGRAMs (measuring tools that the package does not ship) go to the guest's /usr/local/bin.
# Prints three lines, KEY=PATH: kernel, dtb and initrd. CACHE/debs keeps the downloads, CACHE/kernel-*
# the unpacked kernel with its edited device tree, CACHE/initrd-* one initramfs per robot package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=$1 deb=$2
shift 2
extra=("$@")
"$here/../deps.sh" qemu-system-arm device-tree-compiler cpio
[ -f "$deb" ] || { echo "orvane-emu: no robot package at $deb" >&2; exit 1; }
# The kernel this was tried with; the newest of the series if Debian has moved on.
pinned=${ORVANE_EMU_KERNEL:-6.1.0-50-rpi}
mkdir -p "$cache/debs"

have_armel() { dpkg --print-foreign-architectures | grep -qx armel; }
if ! have_armel; then
  [ "$(id -u)" -eq 0 ] || { echo "orvane-emu: run 'dpkg --add-architecture armel && apt-get update' as root" >&2; exit 1; }
  dpkg --add-architecture armel
  apt-get update -qq >&2
fi
known() { apt-cache show "$1" >/dev/null 2>&1; }

kver=$pinned
if [ ! -d "$cache/kernel-$kver-tree3" ] && ! known "linux-image-$kver:armel"; then
  known linux-image-rpi:armel || apt-get update -qq >&2
  kver=$(apt-cache depends linux-image-rpi:armel | sed -n 's/.*Depends: linux-image-\(6[^:]*-rpi\).*/\1/p' | head -n 1)
  [ -n "$kver" ] || { echo "orvane-emu: Debian offers no linux-image-rpi for armel" >&2; exit 1; }
  echo "orvane-emu: kernel $pinned is gone from Debian; using $kver" >&2
fi

# fetch PACKAGE: its .deb in the download cache (downloaded once), printed.
fetch() { "$here/../armel-fetch.sh" "$cache/debs" "$1"; }

kdir=$cache/kernel-$kver-tree3  # the suffix counts the versions of the tree's edits below
if [ ! -f "$kdir/board.dtb" ]; then
  rm -rf "$kdir" "$kdir.tmp"
  mkdir -p "$kdir.tmp/x"
  dpkg-deb -x "$(fetch "linux-image-$kver:armel")" "$kdir.tmp/x"
  cp "$kdir.tmp/x/boot/vmlinuz-$kver" "$kdir.tmp/zImage"
  for m in i2c-dev mii usbnet cdc_ether; do
    mkdir -p "$kdir.tmp/modules"
    cp "$(find "$kdir.tmp/x/lib/modules" -name "$m.ko")" "$kdir.tmp/modules/"
  done
  # The Pi Zero's tree, edited for what QEMU's raspi0 models: it maps nothing at the power
  # domains' ASB registers (0x7e00a000), whose driver would fault at boot; the mini UART carries
  # the console so that the PL011 (ttyAMA0) is the servos' alone; a usb-net NIC needs the USB
  # controller as a host.
  dtb=$kdir.tmp/board.dtb
  cp "$kdir.tmp/x/usr/lib/linux-image-$kver/bcm2835-rpi-zero.dtb" "$dtb"
  fdtput -t x "$dtb" /soc/watchdog@7e100000 reg 0x7e100000 0x114
  fdtput -t s "$dtb" /soc/watchdog@7e100000 reg-names pm
  fdtput -t s "$dtb" /soc/serial@7e215040 status okay
  fdtput -t s "$dtb" /soc/usb@7e980000 dr_mode host
  fdtput -t s "$dtb" /chosen stdout-path serial1:115200n8
  # Only i2c-1 carries the LED boards; the other two stubs cost boot time for nothing.
  fdtput -t s "$dtb" /soc/i2c@7e205000 status disabled
  fdtput -t s "$dtb" /soc/i2c@7e805000 status disabled
  # The tree names no i2c aliases, so the kernel would number the one bus left i2c-0: pin it to 1.
  fdtput -t s "$dtb" /aliases i2c1 /soc/i2c@7e804000
  rm -rf "$kdir.tmp/x"
  mv "$kdir.tmp" "$kdir"
fi

# One initramfs per robot package, init and agent: busybox, the kernel's modules, and the package's
# files as dpkg-deb extracts them, so that what boots is what ships.
key=$( (sha256sum "$deb" "$here/init" "$here/agent" "${extra[@]}" | cut -d' ' -f1; echo "$kver") | sha256sum | cut -c1-16)
initrd=$cache/initrd-$key.cpio.gz
if [ ! -f "$initrd" ]; then
  root=$(mktemp -d "${TMPDIR:-/tmp}/orvane-emu-root.XXXXXX")
  trap 'rm -rf "$root"' EXIT
  dpkg-deb -x "$deb" "$root"
  mkdir -p "$root/bb" "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev"
  dpkg-deb -x "$(fetch busybox-static:armel)" "$root/bb"
  mv "$root/bb/bin/busybox" "$root/bin/busybox"
  rm -rf "$root/bb"
  cp "$kdir"/modules/*.ko "$root/lib/modules/"
  install -m 755 "$here/init" "$root/init"
  install -m 755 "$here/agent" "$root/bin/orvane-emu-agent"
  for p in "${extra[@]}"; do install -D -m 755 "$p" "$root/usr/local/bin/$(basename "$p")"; done
  find "$cache" -maxdepth 1 -name 'initrd-*.cpio.gz' -mtime +7 -delete
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --owner=0:0 --quiet | gzip -1) >"$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
fi
echo "kernel=$kdir/zImage"
echo "dtb=$kdir/board.dtb"
echo "initrd=$initrd"
