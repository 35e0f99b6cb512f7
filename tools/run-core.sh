#!/usr/bin/env bash
# The demo: builds the core, the parent-daemon simulator and the example
# plugins in a build directory of its own (build-demo/, so that build/ stays
# as its owner configured it), lays them out in build-demo/demo (core in bin/
# beside plugins/, a separate working directory work/), and runs the core
# under the simulator
# for 20 seconds. Ctrl-C stops it early; the core is always stopped with the
# parent's stop command and must exit with 0.
#
#   tools/run-core.sh                 20 seconds
#   tools/run-core.sh --seconds 60    longer
#   tools/run-core.sh --seconds 60 --stdin   and type packets: send 40 512 hello
#   tools/run-core.sh --plugin my/Plugin.so  one more plugin (paths are taken
#                                            from where you call the script)
#   tools/run-core.sh --tree DIR             lay out in DIR and keep its work/
#                                            (core.xml, LogPI.log) for the next run
#   tools/run-core.sh --exit-report          list references held at exit
# Further arguments go to parent_sim (see build-demo/tools/parent_sim/parent_sim -h).
set -euo pipefail
caller="$PWD"
cd "$(dirname "$0")/.."
tools/install-deps.sh

# A path as the caller meant it: relative to the directory they called from.
from_caller() {
  case "$1" in
    /*) printf '%s\n' "$1" ;;
    *) printf '%s\n' "$caller/$1" ;;
  esac
}

needs_value() {
  if [ "$#" -lt 2 ]; then
    echo "run-core.sh: $1 needs a value" >&2
    exit 64
  fi
}

seconds=20
# The demo's own build directory: a Debug build, never the author's build/.
demo_build=build-demo
tree=$demo_build/demo
fresh=1
extra=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) needs_value "$@"; seconds="$2"; shift 2 ;;
    --tree) needs_value "$@"; tree="$(from_caller "$2")"; fresh=0; shift 2 ;;
    --plugins|--protected|--core|--work)
      needs_value "$@"; extra+=("$1" "$(from_caller "$2")"); shift 2 ;;
    --plugin)
      # FILE[=NAME]: only the file is a path.
      needs_value "$@"
      file="${2%%=*}"
      rename=""
      [ "$file" != "$2" ] && rename="=${2#*=}"
      extra+=("$1" "$(from_caller "$file")$rename"); shift 2 ;;
    *) extra+=("$1"); shift ;;
  esac
done

cmake -S . -B "$demo_build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$demo_build" -j"$(nproc)" --target dvrcore parent_sim LogPI CameraSim Recorder SearchClient CryptoDemo IpcEcho

# The demo's own tree starts afresh; one given with --tree keeps its work/.
if [ "$fresh" = 1 ]; then rm -rf "$tree"; fi
status=0
"$demo_build"/tools/parent_sim/parent_sim --seconds "$seconds" --tree "$tree" \
  --plugins "$demo_build"/examples/plugins \
  --send-after 2 --send "40:0x200:hello from the parent" "${extra[@]}" || status=$?

echo
echo "=== $tree/work/core.xml (rewritten by the core at start-up)"
cat "$tree/work/core.xml" 2>/dev/null || echo "(none)"
echo
echo "=== last lines of $tree/work/LogPI.log (stored by the example logging plugin)"
tail -n 12 "$tree/work/LogPI.log" 2>/dev/null || echo "(none)"
echo
echo "core exited with status $status"
exit "$status"
