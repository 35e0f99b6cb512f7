#!/usr/bin/env bash
# The demo: builds the core, the parent-daemon simulator and the example
# plugins, lays them out in build/demo (core in bin/ beside plugins/, a
# separate working directory work/), and runs the core under the simulator
# for 20 seconds. Ctrl-C stops it early; the core is always stopped with the
# parent's stop command and must exit with 0.
#
#   tools/run-core.sh                 20 seconds
#   tools/run-core.sh --seconds 60    longer
#   tools/run-core.sh --seconds 60 --stdin   and type packets: send 40 512 hello
# Further arguments go to parent_sim (see build/tools/parent_sim/parent_sim -h).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

seconds=20
extra=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    *) extra+=("$1"); shift ;;
  esac
done

cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j"$(nproc)" --target dvrcore parent_sim LogPI CameraSim Recorder SearchClient CryptoDemo IpcEcho

tree=build/demo
rm -rf "$tree"
status=0
build/tools/parent_sim/parent_sim --seconds "$seconds" --tree "$tree" \
  --plugins build/examples/plugins \
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
