#!/usr/bin/env bash
# Builds the core and runs it under the parent-daemon simulator for a few
# seconds (default 5; Ctrl-C stops it early with the stop command), then
# reports its exit status. Extra arguments go to parent_sim, e.g.
#   tools/run-core.sh 10 --plugins build/some/dir --stdin
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
seconds="${1:-5}"
[ "$#" -gt 0 ] && shift
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j"$(nproc)" --target dvrcore parent_sim
exec build/tools/parent_sim/parent_sim --seconds "$seconds" "$@"
