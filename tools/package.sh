#!/usr/bin/env bash
# Makes the Debian packages of a configured build in <build dir>/packages:
# dvrcore (the core and its empty plugin directories), dvrcore-sdk (headers
# and CMake package, architecture all) and dvrcore-examples (example plugins
# and parent_sim, never for a camera). Prints what each holds and depends on,
# and fails when a package with binaries does not depend on the C and C++
# libraries and {fmt}. The architecture is the build's:
#   tools/package.sh build-release          amd64
#   tools/package.sh build-arm64-release    arm64 (cross build, see README.md)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:?usage: tools/package.sh <configured build dir>}"
[ -f "$dir/CPackConfig.cmake" ] || { echo "$dir is not a configured build" >&2; exit 2; }
# CPack's DEB generator reads the binaries' dependencies with these.
for tool in file dpkg-shlibdeps; do
  command -v "$tool" >/dev/null ||
    { echo "$tool is missing; tools/install-deps.sh or tools/install-arm64.sh installs it" >&2; exit 2; }
done

cmake --build "$dir" -j"$(nproc)" >/dev/null
rm -rf "$dir/packages"
if ! (cd "$dir" && cpack -G DEB) >"$dir/cpack.log" 2>&1; then
  cat "$dir/cpack.log" >&2
  exit 1
fi

status=0
for deb in "$dir"/packages/*.deb; do
  package="$(dpkg-deb -f "$deb" Package)"
  depends="$(dpkg-deb -f "$deb" Depends)"
  echo "== $deb"
  dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/   /'
  dpkg-deb -c "$deb" | awk '{ print "   " $NF }'
  case "$package" in
    dvrcore-sdk)
      # Headers and the CMake package only, under the data directory: one
      # package for every architecture.
      stray="$(dpkg-deb -c "$deb" | awk '{ print $NF }' |
        grep -Ev '^\./(usr/((include|share|share/cmake)/)?)?$|^\./usr/(include/ko|share/cmake/kosdk|share/doc)/' || true)"
      if [ -n "$stray" ]; then
        echo "dvrcore-sdk holds more than headers and share/cmake/kosdk: $stray" >&2
        status=1
      fi
      if [ "$(dpkg-deb -f "$deb" Architecture)" != all ]; then
        echo "dvrcore-sdk is not architecture all" >&2
        status=1
      fi ;;
    dvrcore|dvrcore-examples)
      # The package names alone, between spaces: "libc6 (>= 2.34), ..." -> " libc6 ... ".
      names=" $(sed 's/ ([^)]*)//g; s/[,|]/ /g' <<<"$depends") "
      for library in libc6 libstdc++6 libfmt9; do
        if [[ "$names" != *" $library "* ]]; then
          echo "$package does not depend on $library" >&2
          status=1
        fi
      done ;;
  esac
done
exit "$status"
