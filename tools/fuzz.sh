#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs one target or all of them.
#   tools/fuzz.sh [target|all] [seconds per target]
# Each run starts from the seed corpus in fuzz/corpus/<target>/ and keeps what
# it finds in build-fuzz/corpus/<target>/. A crash, leak, hang or sanitizer
# report stops that target, saves the input under build-fuzz/artifacts/ and
# makes the script fail; replay it with build-fuzz/fuzz/<target> <file>, fix
# the product, and keep the input in fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
tools/install-deps.sh

# The fuzzer runtime and the sanitizers come with Debian's clang.
fuzz_packages=(clang-14 libclang-rt-14-dev)
missing=()
for p in "${fuzz_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -q
  as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

target="${1:-all}"
seconds="${2:-60}"
all_targets=(ipc_stream_fuzzer config_files_fuzzer config_delta_fuzzer crypto_record_fuzzer
             submit_record_fuzzer plugin_discovery_fuzzer)
if [ "$target" = all ]; then
  targets=("${all_targets[@]}")
else
  targets=("$target")
fi

dir=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKO_WERROR=ON \
  -DKO_SANITIZE=address,undefined -DKO_BUILD_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

dictionary_for() {
  case "$1" in
    config_files_fuzzer|config_delta_fuzzer) echo "-dict=$root/fuzz/config.dict" ;;
  esac
}

failed=()
for t in "${targets[@]}"; do
  corpus="$root/$dir/corpus/$t"
  artifacts="$root/$dir/artifacts/$t"
  log="$root/$dir/$t.log"
  mkdir -p "$corpus" "$artifacts"
  echo "== $t: ${seconds}s"
  status=0
  # Absolute paths: some targets change into a private working directory.
  "$root/$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" $(dictionary_for "$t") "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  echo "   runs ${runs:-?}, ${speed:-?} exec/s, ${cov:-no coverage line} (edges, features)"
  if [ "$status" -ne 0 ]; then
    echo "   FAILED (exit $status); the report:"
    grep -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written|deadly|timeout|leak' "$log" | head -20 | sed 's/^/   /'
    failed+=("$t")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (logs in $dir/, inputs in $dir/artifacts/)"
  exit 1
fi
echo "fuzzing: no findings"
