#!/bin/sh
# orvane-doctor: checks that this board is set up for orvane and says, in plain words, what to
# change. Installed on the robot as orvane-doctor; plain POSIX sh, since the robot may have
# nothing else. It only reads: it never changes a file, a setting or a service.
set -u

usage() {
  cat <<'EOF'
usage: orvane-doctor [--root DIR]
Checks this board's set-up for orvane: the serial console, the UART, I2C, /dev/mem, the CPU,
the service and the monitor port. Prints one line per check and what to change; changes nothing.
  --root DIR   check the system whose root is DIR (boot files, /dev, /proc, /etc) instead of /
  --help       show this text
Exit status: 0 when every check passed, 1 when one failed, 2 for a bad option.
EOF
}

root=
while [ $# -gt 0 ]; do
  case $1 in
    --root) [ $# -ge 2 ] || { usage >&2; exit 2; }; root=${2%/}; shift 2 ;;
    --root=*) root=${1#--root=}; root=${root%/}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "orvane-doctor: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
if [ -n "$root" ] && [ ! -d "$root" ]; then
  echo "orvane-doctor: no such folder: $root" >&2
  exit 2
fi

failed=0
ok() { printf 'ok    %s\n' "$1"; }
# fail WHAT ADVICE...: the finding, then one indented line per piece of advice.
fail() {
  printf 'FAIL  %s\n' "$1"
  shift
  for line in "$@"; do printf '      %s\n' "$line"; done
  failed=1
}

# A file, or a link even where its target lies outside the root (an enabled unit's link).
exists() { [ -e "$1" ] || [ -L "$1" ]; }

# The first of the given files that exists, as the board sees it (without the root prefix).
first_file() {
  for f in "$@"; do
    if [ -f "$root$f" ]; then echo "$f"; return 0; fi
  done
  return 1
}
boot_cfg=$(first_file /boot/firmware/config.txt /boot/config.txt) || boot_cfg=
boot_cmd=$(first_file /boot/firmware/cmdline.txt /boot/cmdline.txt) || boot_cmd=

# Active (uncommented) lines of config.txt, blanks trimmed.
config_lines() {
  [ -n "$boot_cfg" ] && sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' \
    "$root$boot_cfg" | grep -v '^$'
}
# The device tree's strings (model, compatible) one per line; they are NUL-separated.
dt_strings() { [ -f "$root/proc/device-tree/$1" ] && tr '\000' '\n' <"$root/proc/device-tree/$1"; }

# --- The kernel's console and login prompts must keep off the servos' UART.
check_console() {
  pattern='console=(serial0|ttyAMA0)([,[:space:]]|$)'
  found=
  if [ -n "$boot_cmd" ] && grep -Eq "$pattern" "$root$boot_cmd"; then
    found=$(grep -Eo 'console=(serial0|ttyAMA0)[^[:space:]]*' "$root$boot_cmd" | head -n 1)
    fail "serial console: the kernel's console is on the UART ($found in $boot_cmd)" \
      "remove '$found' from $boot_cmd and reboot; the servos need the line to themselves" \
      "(raspi-config: Interface Options, Serial Port: login shell No, serial hardware Yes)"
  elif [ -f "$root/proc/cmdline" ] && grep -Eq "$pattern" "$root/proc/cmdline"; then
    fail "serial console: the running kernel still has its console on the UART" \
      "${boot_cmd:-the boot command line} no longer asks for it: reboot"
  else
    for unit in serial-getty@ttyAMA0.service serial-getty@serial0.service; do
      if exists "$root/etc/systemd/system/getty.target.wants/$unit"; then
        fail "serial console: a login prompt is enabled on the UART ($unit)" \
          "disable it: systemctl disable --now $unit"
        return
      fi
    done
    ok "serial console: not on the UART"
  fi
}

# --- The servos are on GPIO 14/15, which must be the full PL011 UART, /dev/ttyAMA0. On boards
# with Bluetooth the PL011 belongs to Bluetooth unless an overlay frees it.
check_uart() {
  if [ ! -e "$root/dev/ttyAMA0" ]; then
    fail "UART: /dev/ttyAMA0 does not exist" \
      "make sure ${boot_cfg:-config.txt} has no 'enable_uart=0' and reboot"
    return
  fi
  if config_lines | grep -q '^enable_uart=0$'; then
    fail "UART: 'enable_uart=0' in $boot_cfg switches the UART off" \
      "change it to 'enable_uart=1' and reboot"
    return
  fi
  primary=
  [ -L "$root/dev/serial0" ] && primary=$(readlink "$root/dev/serial0")
  bt=no
  if dt_strings model | grep -Eq 'Zero W|Zero 2|Pi [345]'; then bt=yes; fi
  freed=no
  if config_lines | grep -Eq '^dtoverlay=(pi3-)?(disable-bt|miniuart-bt)([,:]|$)'; then freed=yes; fi
  if [ -n "$primary" ] && [ "${primary##*/}" != ttyAMA0 ]; then
    fail "UART: the pins' UART is ${primary##*/} (the mini UART), not the full PL011 /dev/ttyAMA0" \
      "add 'dtoverlay=disable-bt' to ${boot_cfg:-config.txt} and reboot;" \
      "it gives the PL011 back to GPIO 14/15 (systemctl disable hciuart stops the Bluetooth loader)"
  elif [ "$bt" = yes ] && [ "$freed" = no ]; then
    fail "UART: on this board with Bluetooth the PL011 belongs to Bluetooth" \
      "add 'dtoverlay=disable-bt' to ${boot_cfg:-config.txt} and reboot"
  else
    ok "UART: the full PL011 on /dev/ttyAMA0"
  fi
}

# --- The LED boards are on I2C bus 1.
check_i2c() {
  if ! config_lines | grep -Eq '^dtparam=(.*,)?i2c(_arm)?=(on|1|true|yes|okay)(,|$)'; then
    fail "I2C: not enabled in ${boot_cfg:-config.txt (none in /boot/firmware or /boot)}" \
      "add 'dtparam=i2c_arm=on' to ${boot_cfg:-/boot/firmware/config.txt} and reboot"
  elif [ ! -e "$root/dev/i2c-1" ]; then
    if cat "$root/etc/modules" "$root"/etc/modules-load.d/*.conf 2>/dev/null |
      sed 's/#.*//' | grep -Eq '^[[:space:]]*i2c[-_]dev[[:space:]]*$'; then
      fail "I2C: enabled, but /dev/i2c-1 does not exist" "reboot, so that the bus and i2c-dev load"
    else
      fail "I2C: enabled, but /dev/i2c-1 does not exist: the i2c-dev module is not loaded" \
        "add the line 'i2c-dev' to /etc/modules and reboot (or: modprobe i2c-dev)"
    fi
  else
    ok "I2C: enabled, /dev/i2c-1 exists"
  fi
}

# --- The GPIO block is mapped through /dev/mem. A shell cannot map memory, and a kernel with
# STRICT_DEVMEM opens /dev/mem but refuses the map, so a small probe maps it as the daemon does
# (read-only). ORVANE_MEMPROBE names another probe (the tests', or one in a build folder).
memprobe=${ORVANE_MEMPROBE:-/usr/lib/orvane/orvane-memprobe}
check_mem() {
  lockdown=
  [ -f "$root/sys/kernel/security/lockdown" ] &&
    lockdown=$(sed -n 's/.*\[\([a-z]*\)\].*/\1/p' "$root/sys/kernel/security/lockdown")
  if [ ! -e "$root/dev/mem" ]; then
    fail "/dev/mem: does not exist" "use a kernel built with /dev/mem (CONFIG_DEVMEM)"
  elif [ -n "$lockdown" ] && [ "$lockdown" != none ]; then
    fail "/dev/mem: the kernel is locked down ($lockdown), which forbids /dev/mem" \
      "boot without 'lockdown=' on the kernel command line"
  elif [ -z "$root" ] && [ "$(id -u)" -ne 0 ]; then
    ok "/dev/mem: exists (run orvane-doctor as root to try mapping it)"
  elif [ ! -x "$memprobe" ]; then
    fail "/dev/mem: cannot try mapping it: $memprobe is missing" "reinstall the orvane package"
  else
    why=$("$memprobe" "$root/dev/mem" 2>&1)
    case $? in
      0) ok "/dev/mem: the GPIO block maps (0x20200000, as orvane maps it)" ;;
      1) fail "/dev/mem: exists but cannot be opened (${why#open: })" \
           "orvane runs as root with CAP_SYS_RAWIO; check the kernel's lockdown and security modules" ;;
      2) fail "/dev/mem: opens, but the kernel refuses to map the GPIO block (${why#map: })" \
           "orvane would end with 'error: cannot map /dev/mem'. The kernel restricts /dev/mem" \
           "(STRICT_DEVMEM, IO_STRICT_DEVMEM): add 'iomem=relaxed' to ${boot_cmd:-the kernel command line} and reboot" ;;
      *) fail "/dev/mem: opens, but mapping the GPIO block fails (${why#map: })" \
           "orvane would end with 'error: cannot map /dev/mem'; is this a BCM2835 with its usual kernel?" ;;
    esac
  fi
}

# --- orvane maps the GPIO block at the BCM2835's address; other chips have it elsewhere.
check_cpu() {
  chips=$(dt_strings compatible | grep '^brcm,bcm2[0-9]*$' | sed 's/^brcm,//' | tr '\n' ' ')
  if [ -n "$chips" ]; then
    case " $chips" in
      *" bcm2835 "*) ok "CPU: BCM2835" ;;
      *) fail "CPU: this board is a ${chips% } (from the device tree), not a BCM2835" \
           "orvane drives the BCM2835's GPIO block at 0x20200000; other chips have it elsewhere" ;;
    esac
  elif [ -f "$root/proc/cpuinfo" ] && grep -Eq '^CPU part[[:space:]]*: 0xb76$' "$root/proc/cpuinfo"; then
    ok "CPU: ARM1176 (no device tree to name the chip)"
  else
    fail "CPU: cannot tell this board's chip; orvane needs a BCM2835" \
      "the device tree (/proc/device-tree/compatible) names no BCM chip"
  fi
}

# --- The service starts the daemon at boot.
check_service() {
  unit=$root/etc/systemd/system/orvane.service
  if [ -L "$unit" ] && [ "$(readlink "$unit")" = /dev/null ]; then
    fail "service: orvane.service is masked" "systemctl unmask orvane && systemctl enable --now orvane"
  elif exists "$root/etc/systemd/system/multi-user.target.wants/orvane.service"; then
    ok "service: enabled"
  else
    fail "service: orvane.service is not enabled, so orvane does not start at boot" \
      "systemctl enable --now orvane"
  fi
}

# --- Port 6498 (hex 1962) must be free for orvane, or held by orvane itself.
check_port() {
  inode=$(cat "$root/proc/net/tcp" "$root/proc/net/tcp6" 2>/dev/null |
    awk '$2 ~ /:1962$/ && $4 == "0A" { print $10; exit }')
  if [ ! -f "$root/proc/net/tcp" ]; then
    fail "port 6498: cannot check (no /proc/net/tcp)" "mount /proc"
  elif [ -z "$inode" ]; then
    ok "port 6498: free"
  else
    # The process holding the socket: a descriptor of it links to "socket:[INODE]".
    owner='' pid=''
    fd=$(find "$root"/proc/[0-9]*/fd -lname "socket:\\[$inode\\]" 2>/dev/null | head -n 1)
    if [ -n "$fd" ]; then
      pid=${fd%/fd/*}; pid=${pid##*/}
      owner=$(cat "$root/proc/$pid/comm" 2>/dev/null)
    fi
    if [ "$owner" = orvane ]; then
      ok "port 6498: in use by orvane itself (pid $pid)"
    elif [ -n "$owner" ]; then
      fail "port 6498: taken by $owner (pid $pid); orvane cannot listen" "stop $owner first"
    else
      fail "port 6498: taken by another program; orvane cannot listen" \
        "find it with: ss -ltnp 'sport = :6498' (as root)"
    fi
  fi
}

check_console
check_uart
check_i2c
check_mem
check_cpu
check_service
check_port
exit "$failed"
