#!/usr/bin/env bash
# orvane-doctor against made-up roots: a board set up right, then one fault per case. Each case
# checks the exit status, that the output names the fault, and that the doctor changed nothing.
#   tests/doctor/doctor_test.sh daemon/orvane-doctor.sh build/daemon/orvane-memprobe
# The real /dev/mem probe maps the made-up root's dev/mem (a file); stand-in probes give the
# kernel's answers that a made-up root cannot.
set -euo pipefail
doctor=$(realpath "$1")
export ORVANE_MEMPROBE
ORVANE_MEMPROBE=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A BCM2835 board set up for orvane, with orvane running and listening on port 6498.
good=$work/good
mkdir -p "$good"/{boot/firmware,dev,proc/device-tree,proc/net,proc/1234/fd,proc/77/fd} \
  "$good"/etc/systemd/system/multi-user.target.wants "$good"/sys/kernel/security
cd "$good"
echo 'console=tty1 root=PARTUUID=1-02 rootfstype=ext4 rootwait' >boot/firmware/cmdline.txt
cp boot/firmware/cmdline.txt proc/cmdline
printf '# robot\ndtparam=audio=on\ndtparam=i2c_arm=on\nenable_uart=1\n[all]\n' >boot/firmware/config.txt
: >dev/ttyAMA0; : >dev/i2c-1; : >dev/mem
ln -s ttyAMA0 dev/serial0
printf 'Raspberry Pi Model B Plus Rev 1.2\0' >proc/device-tree/model
printf 'raspberrypi,model-b-plus\0brcm,bcm2835\0' >proc/device-tree/compatible
echo '[none] integrity confidentiality' >sys/kernel/security/lockdown
ln -s /lib/systemd/system/orvane.service etc/systemd/system/multi-user.target.wants/orvane.service
cat >proc/net/tcp <<'TCP'
  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode
   0: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1111 1 0
   1: 00000000:1962 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 4242 1 0
   2: 0100007F:1962 0100007F:A000 01 00000000:00000000 00:00000000 00000000     0        0 5151 1 0
TCP
echo orvane >proc/1234/comm; ln -s 'socket:[4242]' proc/1234/fd/3
echo sshd >proc/77/comm; ln -s 'socket:[1111]' proc/77/fd/3

# status | change made in a copy of the good root | text the output must hold
cases=(
  "0|true|ok    port 6498: in use by orvane itself (pid 1234)"
  "0|: >proc/net/tcp|ok    port 6498: free"
  "0|printf 'Raspberry Pi Zero W Rev 1.1\0' >proc/device-tree/model; echo dtoverlay=disable-bt >>boot/firmware/config.txt|ok    UART: the full PL011"
  "0|mv boot/firmware/* boot/; rmdir boot/firmware|ok    I2C: enabled"
  "0|rm -r proc/device-tree; printf 'processor\t: 0\nCPU part\t: 0xb76\n' >proc/cpuinfo|ok    CPU: ARM1176"
  "1|sed -i 's/^/console=serial0,115200 /' boot/firmware/cmdline.txt|the kernel's console is on the UART (console=serial0,115200 in /boot/firmware/cmdline.txt)"
  "1|echo 'console=ttyAMA0,115200 rootwait' >proc/cmdline|the running kernel still has its console on the UART"
  "1|mkdir -p etc/systemd/system/getty.target.wants; ln -s x etc/systemd/system/getty.target.wants/serial-getty@ttyAMA0.service|login prompt is enabled on the UART (serial-getty@ttyAMA0.service)"
  "1|rm dev/ttyAMA0|UART: /dev/ttyAMA0 does not exist"
  "1|sed -i 's/enable_uart=1/enable_uart=0/' boot/firmware/config.txt|UART: 'enable_uart=0' in /boot/firmware/config.txt"
  "1|printf 'Raspberry Pi Zero W Rev 1.1\0' >proc/device-tree/model|the PL011 belongs to Bluetooth"
  "1|ln -sf ttyS0 dev/serial0|the pins' UART is ttyS0 (the mini UART), not the full PL011"
  "1|sed -i '/i2c_arm/d' boot/firmware/config.txt|I2C: not enabled in /boot/firmware/config.txt"
  "1|rm dev/i2c-1|/dev/i2c-1 does not exist: the i2c-dev module is not loaded"
  "1|rm dev/i2c-1; mkdir etc/modules-load.d; echo i2c-dev >etc/modules-load.d/i2c.conf|I2C: enabled, but /dev/i2c-1 does not exist"
  "1|rm dev/mem|/dev/mem: does not exist"
  "0|true|ok    /dev/mem: the GPIO block maps (0x20200000"
  "1|rm dev/mem; mkfifo dev/mem|/dev/mem: opens, but mapping the GPIO block fails"
  "1|echo 'none [integrity] confidentiality' >sys/kernel/security/lockdown|the kernel is locked down (integrity)"
  "1|printf 'raspberrypi,3-model-b\0brcm,bcm2837\0' >proc/device-tree/compatible|CPU: this board is a bcm2837 (from the device tree), not a BCM2835"
  "1|rm etc/systemd/system/multi-user.target.wants/orvane.service|orvane.service is not enabled"
  "1|ln -s /dev/null etc/systemd/system/orvane.service|orvane.service is masked"
  "1|echo python3 >proc/1234/comm|port 6498: taken by python3 (pid 1234)"
  "1|rm proc/1234/fd/3|port 6498: taken by another program"
)

# Every file and link with its type, target, size, mode and time of change: the doctor must leave
# the root as it was.
snapshot() { (cd "$1" && find . -printf '%p %y %l %s %m %T@\n' | sort); }

failures=0
for c in "${cases[@]}"; do
  IFS='|' read -r want change text <<<"$c"
  root=$work/case
  rm -rf "$root"; cp -a "$good" "$root"
  (cd "$root" && eval "$change")
  before=$(snapshot "$root")
  status=0
  out=$(sh "$doctor" --root "$root" 2>&1) || status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" <<<"$out" || [ "$(snapshot "$root")" != "$before" ]; then
    printf 'FAILED: %s\n  want status %s and: %s\n  got status %s:\n%s\n' "$change" "$want" "$text" "$status" "$out"
    failures=$((failures + 1))
  fi
done

# Stand-in probes: exit status | what it says | text the output must hold.
probe_cases=(
  "2|map: Operation not permitted|add 'iomem=relaxed' to /boot/firmware/cmdline.txt and reboot"
  "1|open: Permission denied|/dev/mem: exists but cannot be opened (Permission denied)"
  "9||/dev/mem: opens, but mapping the GPIO block fails"
)
for c in "${probe_cases[@]}" "missing||orvane-memprobe-missing is missing"; do
  IFS='|' read -r st says text <<<"$c"
  probe=$work/orvane-memprobe-$st
  [ "$st" = missing ] || printf '#!/bin/sh\necho "%s"\nexit %s\n' "$says" "$st" >"$probe"
  [ "$st" = missing ] || chmod +x "$probe"
  status=0
  out=$(ORVANE_MEMPROBE=$probe sh "$doctor" --root "$good" 2>&1) || status=$?
  if [ "$status" != 1 ] || ! grep -qF -- "$text" <<<"$out"; then
    printf 'FAILED: probe %s\n  want status 1 and: %s\n  got status %s:\n%s\n' "$c" "$text" "$status" "$out"
    failures=$((failures + 1))
  fi
done

# Arguments: a bad option and a missing root are usage errors; --help is not.
# shellcheck disable=SC2086  # each entry is split into its words
for args in "--bogus" "--root $work/missing" "--root"; do
  status=0; sh "$doctor" $args >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || { echo "FAILED: orvane-doctor $args gave $status, want 2"; failures=$((failures + 1)); }
done
sh "$doctor" --help | grep -q '^usage: orvane-doctor' || { echo "FAILED: --help"; failures=$((failures + 1)); }

total=$((${#cases[@]} + ${#probe_cases[@]} + 5))
echo "orvane-doctor: $((total - failures)) of $total cases passed"
[ "$failures" -eq 0 ]
