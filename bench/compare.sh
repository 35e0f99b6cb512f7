#!/usr/bin/env bash
# Builds the benchmarks in Release and prints every core/baseline comparison
# in one table: the bus against a plain queue and against a lock-free queue
# (moodycamel's BlockingConcurrentQueue) doing the same work, the transform
# and digest against OpenSSL's software paths, and the bus latency beside
# both queues' (reported, not judged).
# Each ratio is the median over interleaved core/baseline pairs, with the
# lowest and highest pair and their count (bench/paired.h).
#   bench/compare.sh [--pairs=N]     N pairs per cell, default 7, at least 5
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh >/dev/null

dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKO_BUILD_BENCH=ON -DKO_BUILD_TESTS=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target bus_benchmark crypto_benchmark >/dev/null

load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "commit $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(date -u '+%F %T') UTC, $(nproc) CPUs, load $(load)"
echo
printf '| %-58s | %6s | %-13s | %-10s |\n' "case (core / baseline)" "median" "pairs lo-hi" "target"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..60})" "--------" "---------------" "------------"
"$dir/bench/bus_benchmark" --quiet --no-latency "$@"
"$dir/bench/crypto_benchmark" --quiet "$@"
"$dir/bench/bus_benchmark" --quiet --latency-only "$@"
echo
echo "load at the end $(load)"
