#!/usr/bin/env bash
# Builds the core and every test, then runs the whole suite.
#   tools/run-tests.sh                 plain debug build in build/
#   tools/run-tests.sh asan-ubsan      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan-ubsan/
#   tools/run-tests.sh tsan [regex]    ThreadSanitizer in build-tsan/ (optionally only tests matching regex)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

flavour="${1:-plain}"
filter="${2:-}"
case "$flavour" in
  plain)      dir=build;            sanitize="" ;;
  asan-ubsan) dir=build-asan-ubsan; sanitize="address,undefined" ;;
  tsan)       dir=build-tsan;       sanitize="thread" ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKO_WERROR=ON -DKO_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
args=(--test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300)
[ -n "$filter" ] && args+=(-R "$filter")
ctest "${args[@]}"
