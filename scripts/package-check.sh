#!/usr/bin/env bash
# Checks the packages that scripts/package.sh wrote into dist/:
# - lintian finds no error (kept warnings are explained in docs/deploy.md);
# - contents: the files each package must hold, root-owned, a man page for every program,
#   every file under /etc a conffile, the robot's programs built for its CPU (scripts/arm-check.sh,
#   which also runs the daemon without /dev/mem);
# - the services (the daemon's, and the bridge's, installed disabled): systemd-analyze verify on
#   the extracted robot package, and their security figures;
# - the PC package's orvane-sim, run from the extracted package: banner, loop rate, a servo move;
#   against it the robot package's orvane-web on the emulated ARM1176: token, page, a command;
# - host work from the PC package: its Python module imports with /usr/bin/python3 at the
#   package's version and reads its field table; its CMake package is found by an outside
#   project (tests/package/consumer.py), whose programs (a move through the client library, the
#   example wave through the motion library) run against the packaged orvane-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh lintian systemd logrotate qemu-user man-db python3 cmake ninja-build g++ dpkg-dev \
  libyaml-cpp-dev
robot_deb=$(ls dist/orvane_*_armhf.deb)
tools_deb=$(ls dist/orvane-tools_*_"$(dpkg --print-architecture)".deb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "package-check: $1" >&2; fail=1; }

echo "--- lintian"
lintian --fail-on error "$robot_deb" "$tools_deb" ||
  bad "lintian reports errors"

echo "--- contents"
robot_files=(usr/sbin/orvane usr/sbin/orvane-doctor usr/lib/orvane/orvane-memprobe
  lib/systemd/system/orvane.service
  etc/logrotate.d/orvane usr/share/man/man8/orvane.8.gz usr/share/man/man8/orvane-doctor.8.gz
  usr/share/doc/orvane/copyright usr/share/doc/orvane/changelog.gz usr/share/doc/orvane/deploy.md
  usr/share/lintian/overrides/orvane usr/bin/orvane-web usr/share/man/man1/orvane-web.1.gz
  usr/bin/orvane-mqtt usr/share/man/man1/orvane-mqtt.1.gz lib/systemd/system/orvane-mqtt.service
  etc/default/orvane-mqtt usr/share/doc/orvane/fleet.md)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
pydir=usr/lib/python3/dist-packages
tools_files=(usr/bin/orvane-sim usr/share/man/man1/orvane-sim.1.gz
  usr/bin/orvane-ctl usr/share/man/man1/orvane-ctl.1.gz
  usr/bin/orvane-web usr/share/man/man1/orvane-web.1.gz
  usr/bin/orvane-mqtt usr/share/man/man1/orvane-mqtt.1.gz usr/share/doc/orvane-tools/fleet.md
  usr/share/doc/orvane-tools/copyright usr/share/doc/orvane-tools/changelog.gz
  usr/share/doc/orvane-tools/host.md usr/share/doc/orvane-tools/motions.md
  usr/share/orvane/motions/robot.yaml usr/share/orvane/motions/wave.yaml
  usr/share/orvane/motions/arm.urdf
  $pydir/orvane/__init__.py $pydir/orvane/plot.py $pydir/orvane/fields.tsv
  usr/include/orvane.h "usr/lib/$multiarch/liborvane_client.a"
  "usr/lib/$multiarch/cmake/orvane/orvane-config.cmake"
  usr/include/orvane/host/motion/play.h "usr/lib/$multiarch/liborvane_motion.a"
  "usr/lib/$multiarch/cmake/orvane/orvane-motion-targets.cmake" DEBIAN/postinst DEBIAN/prerm)
# check_deb DEB ARCH DIR FILES...: extracts DEB into DIR and checks what every package must hold.
check_deb() {
  local deb=$1 arch=$2 dir=$3 f
  shift 3
  dpkg-deb -R "$deb" "$dir"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || bad "$deb: architecture is not $arch"
  for f in "$@"; do [ -f "$dir/$f" ] || bad "$deb: no /$f"; done
  dpkg-deb -c "$deb" | awk '$2 != "root/root" { print }' | grep . && bad "$deb: files not owned by root"
  for f in "$dir"/usr/bin/* "$dir"/usr/sbin/*; do
    [ -e "$f" ] || continue
    compgen -G "$dir/usr/share/man/man[18]/$(basename "$f").[18].gz" >/dev/null ||
      bad "$deb: /usr/${f#"$dir"/usr/} has no man page"
  done
  local want='' got
  [ -d "$dir/etc" ] && want=$(cd "$dir" && find etc -type f | sed 's|^|/|' | sort)
  got=$(sort "$dir/DEBIAN/conffiles" 2>/dev/null || true)
  [ "$want" = "$got" ] || bad "$deb: conffiles '$got', files under /etc '$want'"
  echo "$deb: $(dpkg-deb -c "$deb" | grep -vc '/$') files"
}
check_deb "$robot_deb" armhf "$work/robot" "${robot_files[@]}"
check_deb "$tools_deb" "$(dpkg --print-architecture)" "$work/tools" "${tools_files[@]}"
mapfile -t arm_programs < <(find "$work/robot" -path "$work/robot/DEBIAN" -prune -o -type f \
  -perm -u+x -exec sh -c 'head -c4 "$1" | grep -q "^.ELF"' sh {} \; -print)
scripts/arm-check.sh "${arm_programs[@]}" || bad "robot programs not fit for the ARM1176"
sh "$work/robot/usr/sbin/orvane-doctor" --help >/dev/null || bad "orvane-doctor --help fails"
logrotate -d -s "$work/logrotate.state" "$work/robot/etc/logrotate.d/orvane" 2>&1 |
  grep -qi error && bad "logrotate rejects /etc/logrotate.d/orvane"

echo "--- services"
# The units in a root that also has the system's own units (the targets they are ordered against).
root=$work/unit-root
cp -a "$work/robot" "$root"
cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
for unit in orvane.service orvane-mqtt.service; do
  # A setting it cannot parse is only a warning to systemd, and "ignored": any output fails here.
  verify=$(cd "$work" && MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    "$unit" 2>&1) || bad "systemd-analyze verify fails on $unit"
  [ -z "$verify" ] || bad "systemd-analyze verify on $unit: $verify"
  echo "$unit: $(systemd-analyze security --offline=true --root="$root" "$unit" 2>&1 | tail -n 1)"
done
# The bridge's unit is installed disabled: it names a target to join but the package links it
# into none.
grep -qx 'WantedBy=multi-user.target' "$root/lib/systemd/system/orvane-mqtt.service" ||
  bad "orvane-mqtt.service names no target to be enabled into"
find "$work/robot" -path '*/systemd/system/*.wants/*' | grep . && bad "the robot package enables a unit itself"

echo "--- orvane-sim from the PC package, the robot's orvane-web against it"
/usr/bin/python3 tests/package/smoke.py "$work/tools/usr/bin/orvane-sim" \
  --web "$work/robot/usr/bin/orvane-web" --emulator "qemu-arm -cpu arm1176" || bad "smoke test fails"

echo "--- host work from the PC package"
upstream=$(dpkg-deb -f "$tools_deb" Version | sed 's/+.*//')
py=$(PYTHONPATH=$work/tools/$pydir PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c '
import orvane, orvane.plot
print(orvane.__file__, orvane.__version__, len(orvane.FIELDS))') || bad "the Python module does not import"
echo "python3: $py"
case "$py" in
  "$work/tools/$pydir/orvane/__init__.py $upstream "[1-9]*) ;;
  *) bad "the Python module is not the package's, at version $upstream, with its fields" ;;
esac
/usr/bin/python3 tests/package/consumer.py --prefix "$work/tools/usr" --sim "$work/tools/usr/bin/orvane-sim" \
  --work "$work/consumer" || bad "an outside project cannot use the packaged client and motion libraries"

[ "$fail" -eq 0 ] && echo "package-check: both packages passed"
exit "$fail"
