#!/usr/bin/env bash
# A cross configure against a sysroot, the way a firmware build does it: the
# sysroot is made from the files of the installed :arm64 packages, and every
# dependency must be found there, not on the host (which has them too, so a
# lookup that strays to the host would still succeed; the found paths tell).
# First the sysroot lacks RapidXml: the configure must fail although the host
# has the header. Then it gets it, and the configure must succeed with every
# dependency from the sysroot, and the sources must compile with its headers.
#   sysroot_configure.sh <source dir> <work dir> <toolchain file>
set -euo pipefail
source_dir="$1"
work="$2"
toolchain="$3"
sysroot="$work/sysroot"
build="$work/build"

rm -rf "$work"
mkdir -p "$sysroot/usr/lib"

# pkg-config looks into the sysroot, unless the caller (a Yocto SDK's
# environment script, say) has already said where.
cat >"$work/env.cmake" <<'SCRIPT'
include(${TOOLCHAIN})
message("libdir=$ENV{PKG_CONFIG_LIBDIR} sysrootdir=$ENV{PKG_CONFIG_SYSROOT_DIR}")
SCRIPT
pkg_config_env() {
  env "$@" cmake -DTOOLCHAIN="$toolchain" -DCMAKE_SYSROOT="$sysroot" -P "$work/env.cmake" 2>&1
}
seen="$(pkg_config_env -u PKG_CONFIG_LIBDIR -u PKG_CONFIG_SYSROOT_DIR)"
case "$seen" in
  "libdir=$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig:"*" sysrootdir=$sysroot") ;;
  *) echo "pkg-config is not pointed at the sysroot: $seen" >&2; exit 1 ;;
esac
seen="$(pkg_config_env PKG_CONFIG_LIBDIR=/caller/lib PKG_CONFIG_SYSROOT_DIR=/caller)"
[ "$seen" = "libdir=/caller/lib sysrootdir=/caller" ] ||
  { echo "the toolchain file overwrote the caller's pkg-config variables: $seen" >&2; exit 1; }
# Debian's merged /usr: the packages list /lib paths, the linker scripts too.
ln -s usr/lib "$sysroot/lib"

# Headers are linked (they are many); everything else is copied, so that a
# package's CMake files, which resolve their own real path, stay inside.
add_packages() {
  local file
  : >"$work/headers"
  : >"$work/files"
  dpkg-query -L "$@" | while IFS= read -r file; do
    [ -d "$file" ] && continue
    [ -e "$file" ] || [ -L "$file" ] || continue
    case "$file" in
      /usr/share/doc/*|/usr/share/man/*|/usr/share/lintian/*) ;;
      /usr/include/*) printf '%s\n' "$file" >>"$work/headers" ;;
      *) printf '%s\n' "${file#/}" >>"$work/files" ;;
    esac
  done
  xargs -r -d '\n' cp -s --parents -t "$sysroot" <"$work/headers"
  tar -C / -cf - --no-recursion -T "$work/files" |
    tar -xf - -C "$sysroot" --keep-directory-symlink
}
add_packages libc6:arm64 libc6-dev:arm64 linux-libc-dev:arm64 libgcc-s1:arm64 libstdc++6:arm64 \
  libfmt9:arm64 libfmt-dev:arm64 libboost1.81-dev:arm64

# GCC names a system header by its real path unless told not to, which would
# hide the linked headers' place in the sysroot.
configure() {
  cmake -S "$source_dir" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_SYSROOT="$sysroot" \
    -DCMAKE_BUILD_TYPE=Release -DKO_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers
}

if configure >"$work/without.log" 2>&1; then
  echo "configure succeeded although the sysroot has no RapidXml (found on the host?):" >&2
  grep KO_RAPIDXML_INCLUDE_DIR "$build/CMakeCache.txt" >&2
  exit 1
fi
grep -q "RapidXml not found" "$work/without.log" || { cat "$work/without.log" >&2; exit 1; }

add_packages librapidxml-dev
rm -rf "$build"
configure >"$work/with.log" 2>&1 || { cat "$work/with.log" >&2; exit 1; }

inside() {
  local name="$1" value
  value="$(sed -n "s/^$name:[A-Z]*=//p" "$build/CMakeCache.txt")"
  case "$value" in
    "$sysroot"/*) ;;
    *) echo "$name is '$value', not inside the sysroot $sysroot" >&2; exit 1 ;;
  esac
}
inside KO_RAPIDXML_INCLUDE_DIR
inside fmt_DIR
inside Boost_DIR

# The compiler sees the sysroot's headers: preprocess sources that use
# RapidXml, {fmt} and Boost and look where those came from.
check_headers() {
  local source="$1" header lines preprocessed="$build/CMakeFiles/kocore.dir/$1.i"
  shift
  cmake --build "$build" --target "$source.i" >/dev/null
  for header in "$@"; do
    lines="$(sed -n "s|^# [0-9]* \"\([^\"]*/$header\)\".*|\1|p" "$preprocessed" | sort -u)"
    [ -n "$lines" ] || { echo "$source does not include $header" >&2; exit 1; }
    if grep -qv "^$sysroot/" <<<"$lines"; then
      echo "$header came from outside the sysroot: $lines" >&2
      exit 1
    fi
  done
}
check_headers config/config_model.cpp rapidxml/rapidxml.hpp fmt/format.h
check_headers ipc/ipc_channel.cpp boost/asio/post.hpp
echo "configured against $sysroot; RapidXml, {fmt} and Boost found there"
