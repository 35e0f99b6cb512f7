#!/usr/bin/env bash
# Prints the stripped sizes of the core, the example plugins and the parent
# simulator of one or more built release trees, one column per architecture,
# as recorded in README.md so that growth shows.
#   tools/sizes.sh [build dir...]     default: build-release build-arm64-release
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- build-release build-arm64-release

files=(dvrcore examples/plugins/LogPI.so examples/plugins/CameraSim.so examples/plugins/Recorder.so
  examples/plugins/SearchClient.so examples/plugins/CryptoDemo.so examples/plugins/IpcEcho.so
  tools/parent_sim/parent_sim)
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

declare -A size
arches=()
for dir in "$@"; do
  [ -f "$dir/CMakeCache.txt" ] || { echo "$dir is not a configured build" >&2; exit 2; }
  cmake --build "$dir" -j"$(nproc)" --target dvrcore parent_sim LogPI CameraSim Recorder SearchClient \
    CryptoDemo IpcEcho >/dev/null
  strip="$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")"
  arch="$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")"
  build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")"
  [ "$build_type" = Release ] || echo "note: $dir is a ${build_type:-plain} build, not Release" >&2
  arches+=("$arch")
  for file in "${files[@]}"; do
    "${strip:-strip}" -o "$scratch/stripped" "$dir/$file"
    size[$arch/$file]="$(stat -c %s "$scratch/stripped")"
  done
done

printf '%-16s' "stripped bytes"
printf ' %10s' "${arches[@]}"
printf '\n'
for file in "${files[@]}"; do
  printf '%-16s' "${file##*/}"
  for arch in "${arches[@]}"; do printf ' %10s' "${size[$arch/$file]}"; done
  printf '\n'
done
