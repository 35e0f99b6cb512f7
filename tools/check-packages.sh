#!/usr/bin/env bash
# Makes the packages of a build and checks them with Debian's own checker
# (lintian: no error, no warning). For amd64 packages it then installs them
# with dpkg -i, runs the installed core in place with the installed example
# plugins under the installed parent_sim, and removes the packages again,
# checking that nothing of them is left; packages of a cross build (arm64)
# get the lintian check only. Needs root, and refuses to touch a machine that
# already has them.
#   tools/check-packages.sh [build dir]     default build-release
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-release}"
packages=(dvrcore-examples dvrcore-sdk dvrcore)
coredir=/usr/libexec/dvrcore

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
present() {
  local state
  state="$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)"
  [ -n "$state" ] && [ "$state" != not-installed ]
}

for p in "${packages[@]}"; do
  if present "$p"; then
    echo "$p is installed already; remove it first (dpkg -r ${packages[*]})" >&2
    exit 2
  fi
done

command -v lintian >/dev/null || { echo "lintian is missing; tools/install-deps.sh installs it" >&2; exit 2; }
tools/package.sh "$dir" >/dev/null
shopt -s nullglob
all=("$dir"/packages/*.deb)
[ "${#all[@]}" -eq 3 ] || { echo "expected three packages in $dir/packages: ${all[*]}" >&2; exit 1; }
# Every tag of severity warning or above fails; the hints name the tag.
if ! lintian --fail-on error,warning --display-level '>=warning' --info "${all[@]}" >"$dir/lintian.log" 2>&1; then
  cat "$dir/lintian.log" >&2
  echo "lintian finds errors or warnings in the packages of $dir" >&2
  exit 1
fi
if [ "$(dpkg-deb -f "$dir"/packages/dvrcore_*.deb Architecture)" != amd64 ]; then
  echo "lintian-clean: ${all[*]##*/} (no install check for another architecture)"
  exit 0
fi
debs=("$dir"/packages/*_amd64.deb "$dir"/packages/*_all.deb)
[ "${#debs[@]}" -eq 3 ] || { echo "expected three amd64/all packages in $dir/packages: ${debs[*]}" >&2; exit 1; }

work="$(mktemp -d)"
remove() {
  as_root dpkg -r "${packages[@]}" >/dev/null || true
  rm -rf "$work"
}
trap remove EXIT

# dpkg -i fails when a dependency (libfmt9, ...) is missing; nothing fetches it.
as_root dpkg -i "${debs[@]}" >/dev/null

status=0
"$coredir/parent_sim" --in-place --work "$work/run" --seconds 1 >"$work/run.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$work/run.log" >&2
  echo "the installed core ended with $status" >&2
  exit 1
fi
for name in LogPI CameraSim Recorder SearchClient CryptoDemo IpcEcho; do
  if ! grep -q "Filename=\"$name.so\" Opened=\"1\"" "$work/run/core.xml"; then
    cat "$work/run/core.xml" >&2
    echo "the installed core did not open the installed $name.so" >&2
    exit 1
  fi
done

trap - EXIT
remove
for p in "${packages[@]}"; do
  if present "$p"; then echo "$p is still installed" >&2; exit 1; fi
done
# The test kit comes with the core package.
leftover="$(find "$coredir" /usr/include/ko /usr/share/cmake/kosdk /usr/lib/libkotestkit.a \
  /usr/lib/cmake/kotestkit 2>/dev/null || true)"
if [ -n "$leftover" ]; then
  echo "removing the packages left files behind: $leftover" >&2
  exit 1
fi
echo "installed ${packages[*]}, ran the installed core with the installed examples, removed them"
