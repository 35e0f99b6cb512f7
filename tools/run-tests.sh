#!/usr/bin/env bash
# Builds the core and every test, then runs the whole suite.
#   tools/run-tests.sh                 plain debug build in build/
#   tools/run-tests.sh asan-ubsan      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan-ubsan/
#   tools/run-tests.sh tsan [regex]    ThreadSanitizer in build-tsan/ (optionally only tests matching regex)
#   tools/run-tests.sh arm64 [regex]   cross build for aarch64 in build-arm64/, run under qemu-user
#   tools/run-tests.sh arm64-vm [regex]
#                                      the same build, run in a virtual machine on Debian's arm64
#                                      kernel (tools/arm64-vm.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

flavour="${1:-plain}"
filter="${2:-}"
build_type=Debug
configure=()
timeout=300
case "$flavour" in
  plain)      dir=build;            sanitize="" ;;
  asan-ubsan) dir=build-asan-ubsan; sanitize="address,undefined" ;;
  tsan)       dir=build-tsan;       sanitize="thread" ;;
  arm64|arm64-vm)
              dir=build-arm64;      sanitize=""
              if [ "$flavour" = arm64 ]; then tools/install-arm64.sh; else tools/install-arm64.sh --vm; fi
              # Optimised, as it ships; emulation makes every test slower.
              build_type=RelWithDebInfo
              configure=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake")
              timeout=900 ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$build_type" -DKO_WERROR=ON -DKO_SANITIZE="$sanitize" "${configure[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
if [ "${flavour#arm64}" != "$flavour" ] && ! "$dir/dvrcore" -h >/dev/null 2>&1; then
  echo "the kernel does not run aarch64 programs (binfmt_misc and qemu-user): see tools/install-arm64.sh" >&2
  exit 1
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
args=(--test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout "$timeout")
[ -n "$filter" ] && args+=(-R "$filter")
if [ "$flavour" = arm64-vm ]; then
  # The guest has two CPUs of its own; the tests take the time they take there.
  exec tools/arm64-vm.sh "$dir" "${args[@]:2}"
fi
ctest "${args[@]}"
