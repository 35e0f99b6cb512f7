#!/usr/bin/env bash
# The soak: the release build of the core under a camera's plugin load for a
# long run, sampled once a second, with faults, judged at the end.
#
#   tools/soak.sh [--minutes N] [--rate X] [--faults] [--out DIR]
#
# Builds build-release/ (optimised, no tests), lays the core and ten plugins
# out in DIR/tree and runs tools/soak/soak_parent as the parent daemon. With
# --faults (as root) the run gets a private mount namespace: the working
# directory on a 32 MiB tmpfs of its own (filled up and freed again) and a
# private /dev whose /dev/log the soak owns (taken away and brought back).
# Writes DIR/soak.csv (one line a second), DIR/faults.csv, DIR/core.log,
# DIR/figures.md (the table and the verdict) and DIR/soak.png; exits 0 when
# the verdict passes, 1 when it fails, 2 when the soak could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

minutes=30
rate=1
faults=0
out=build-release/soak
while [ "$#" -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --faults) faults=1; shift ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: tools/soak.sh [--minutes N] [--rate X] [--faults] [--out DIR]" >&2; exit 2 ;;
  esac
done
if [ "$faults" = 1 ] && [ "$(id -u)" -ne 0 ]; then
  echo "soak: --faults needs root (mounts in a private namespace)" >&2
  exit 2
fi

build=build-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKO_BUILD_TESTS=OFF -DKO_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target soak

rm -rf "$out"
mkdir -p "$out/tree/bin/plugins" "$out/tree/bin/protected-plugins" "$out/tree/work"
out=$(cd "$out" && pwd)
cp "$build/dvrcore" "$out/tree/bin/"
cp "$build"/tools/soak/plugins/*.so "$out/tree/bin/plugins/"
for p in LogPI IpcEcho CryptoDemo; do cp "$build/examples/plugins/$p.so" "$out/tree/bin/plugins/"; done

args=(--tree "$out/tree" --out "$out" --minutes "$minutes" --rate "$rate"
      --shim "$PWD/$build/tools/soak/libsoak_shim.so")
# Where the core keeps its figures, so the queue length can be read once a
# second; without a symbol table the soak goes on without it.
counters=$(nm "$out/tree/bin/dvrcore" 2>/dev/null | awk '$3 == "_ZN2ko4core8countersE" { print $1 }')
[ -n "$counters" ] && args+=(--counters-at "$counters")
status=0
if [ "$faults" = 1 ]; then
  # In the namespace: the working directory on a small file system, and a
  # /dev of our own with the nodes the core and its plugins open.
  unshare --mount --propagation private bash -euc '
    out=$1; shift
    mount -t tmpfs -o size=32m,mode=0755 soakwork "$out/tree/work"
    mount -t tmpfs -o size=64k,mode=0755 soakdev /dev
    mknod -m 666 /dev/null c 1 3; mknod -m 666 /dev/zero c 1 5; mknod -m 666 /dev/full c 1 7
    mknod -m 666 /dev/random c 1 8; mknod -m 666 /dev/urandom c 1 9
    exec "$@"' soak "$out" "$build/tools/soak/soak_parent" "${args[@]}" --faults --full-disk --dev-log || status=$?
else
  "$build/tools/soak/soak_parent" "${args[@]}" || status=$?
fi
[ -s "$out/soak.csv" ] || exit 2

# The picture: memory, the queue length on its own axis, reference blocks,
# threads and descriptors, CPU; the faults shaded, the throttle's low and ok
# marked.
{
  echo "set terminal pngcairo size 1400,1750 font ',11'"
  echo "set output '$out/soak.png'"
  echo "set datafile separator ','"
  echo "set key below"
  echo "set grid"
  echo "set multiplot layout 5,1 title 'dvrcore soak: $minutes min at ${rate}x real rates$([ "$faults" = 1 ] && echo ', with faults')'"
  n=1
  while IFS=, read -r start end name; do
    case "$name" in
      throttle-*) echo "set arrow $n from first $start/60.0, graph 0 to first $start/60.0, graph 1 nohead lc rgb 'red' dt 2" ;;
      *) echo "set object $n rect from first $start/60.0, graph 0 to first $end/60.0, graph 1 behind fc rgb '#ffe0c0' fs solid noborder"
         echo "set label $n '$name' at first $start/60.0, graph 0.95 font ',8' front" ;;
    esac
    n=$((n + 1))
  done < "$out/faults.csv"
  echo "set xlabel 'minutes since the load started'"
  echo "set ylabel 'MiB'"
  echo "plot '$out/soak.csv' every ::1 using (\$1/60):(\$2/1024) with lines title 'resident', '' every ::1 using (\$1/60):(\$3/1024) with lines title 'peak resident', '' every ::1 using (\$1/60):(\$7 < 0 ? NaN : \$7/1024) with lines title 'in use (mallinfo2)'"
  echo "set ylabel 'records'"
  echo "plot '$out/soak.csv' every ::1 using (\$1/60):(\$10 < 0 ? NaN : \$10) with steps title 'queue length (each second)', '' every ::1 using (\$1/60):(\$8 < 0 ? NaN : \$8) with steps title 'queue length (report)'"
  echo "set ylabel 'blocks'"
  echo "plot '$out/soak.csv' every ::1 using (\$1/60):(\$9 < 0 ? NaN : \$9) with steps title 'reference blocks (report)'"
  echo "set ylabel 'count'"
  echo "plot '$out/soak.csv' every ::1 using (\$1/60):5 with steps title 'threads', '' every ::1 using (\$1/60):4 with steps title 'descriptors'"
  echo "set ylabel '% of one core'"
  echo "old = NaN; delta(x) = (d = x - old, old = x, d)"
  echo "plot '$out/soak.csv' every ::1 using (\$1/60):(delta(\$6) * 100) with lines title 'CPU'"
  echo "unset multiplot"
} > "$out/soak.gnuplot"
gnuplot "$out/soak.gnuplot" || echo "soak: gnuplot failed; the CSV is in $out" >&2
echo "soak: $out/figures.md, $out/soak.png"
exit "$status"
