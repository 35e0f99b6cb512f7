#!/usr/bin/env bash
# Builds the core and runs it for a few seconds (or until Ctrl-C), then stops
# it cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
seconds="${1:-5}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j"$(nproc)" --target dvrcore
build/dvrcore &
pid=$!
trap 'kill -INT $pid 2>/dev/null || true' INT TERM
sleep "$seconds" & wait $! || true
kill -INT $pid 2>/dev/null || true
wait $pid
echo "core exited with status $?"
