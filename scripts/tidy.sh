#!/usr/bin/env bash
# Runs clang-tidy with the checks in .clang-tidy over every source file of the project (the
# daemon, the runner, the tests), through the compile commands of a build folder made for it.
# Any finding fails. Arguments, if any, name the files to check instead of all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh cmake ninja-build g++ libgtest-dev libcli11-dev libyaml-cpp-dev liburdfdom-dev nlohmann-json3-dev clang-tidy
build=${ORVANE_TIDY_BUILD:-build-tidy}
cmake -S . -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

if [ $# -gt 0 ]; then
  files=()
  for f in "$@"; do files+=("$(realpath "$f")"); done
else
  # The project's own sources: not GoogleTest's (built from /usr/src when cross-compiling), not
  # anything generated in a build folder.
  mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
    grep "^$root/" | grep -v "^$root/build" | sort -u)
fi
[ ${#files[@]} -gt 0 ] || { echo "tidy: no source files found" >&2; exit 1; }

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
echo "clang-tidy: ${#files[@]} files, 2 at a time"
# Each file's report goes to its own log, so the two jobs' output never interleaves.
printf '%s\n' "${files[@]}" | LOGS=$logs BUILD=$build xargs -P2 -I{} sh -c '
  log="$LOGS/$(printf %s "{}" | tr / _).log"
  clang-tidy -p "$BUILD" --quiet "{}" >"$log" 2>&1 || echo "{}" >>"$LOGS/failed-$$"
'
failed=$(find "$logs" -name "failed-*" -exec cat {} + | wc -l)
for log in "$logs"/*.log; do
  grep -vE '^[0-9]+ (warning|error)s? (and [0-9]+ errors? )?generated\.$' "$log" || true
done
echo "clang-tidy: $((${#files[@]} - failed)) clean, $failed with findings"
[ "$failed" -eq 0 ]
