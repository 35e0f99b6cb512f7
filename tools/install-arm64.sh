#!/usr/bin/env bash
# Prepares a Debian 12 amd64 machine, even a bare one, to cross build for the
# target (aarch64), package the result and run it under qemu-user: cmake,
# make, pkg-config, dpkg-dev and file (for the packages), the cross compiler,
# qemu-user, the RapidXml header and the arm64 development packages
# (multiarch), and a binfmt_misc entry so that the kernel hands aarch64
# programs to qemu (the integration tests start the core themselves). Safe to
# run again: it only changes what is missing. It never removes a package;
# README.md says how to undo it.
#   tools/install-arm64.sh        cross build and qemu-user
#   tools/install-arm64.sh --vm   also what tools/arm64-vm.sh needs to run the
#                                 tests on Debian's arm64 kernel: qemu-system,
#                                 debootstrap, cpio and a static qemu-user whose
#                                 binfmt_misc entry also works inside a chroot
set -euo pipefail
vm=no
[ "${1:-}" = --vm ] && vm=yes

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Another apt run (a parallel job, unattended upgrades) may hold the locks for
# a while: wait for them instead of failing.
apt_get() {
  local try
  for try in 1 2 3 4 5 6; do
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"; then
      return 0
    fi
    [ "$try" -lt 6 ] && { echo "apt-get $1 failed; retrying" >&2; sleep 10; }
  done
  return 1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

packages=(
  cmake make pkg-config dpkg-dev file librapidxml-dev
  g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user
  libfmt-dev:arm64 libboost1.81-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libssl-dev:arm64 libexpat1-dev:arm64
)
if [ "$vm" = yes ]; then
  packages+=(qemu-system-arm qemu-user-static debootstrap cpio kmod)
fi

fresh_lists=no
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "enabling the arm64 architecture in dpkg"
  as_root dpkg --add-architecture arm64
  fresh_lists=yes
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ "$fresh_lists" = yes ]; then
  apt_get update
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  # An :arm64 package whose version differs from its installed amd64 twin
  # would make apt remove the twin; stop instead of changing the host.
  apt_get install -y --no-install-recommends --no-remove "${missing[@]}"
fi

# binfmt_misc: mount it where needed, then register qemu for aarch64 ELF
# executables unless an enabled entry whose interpreter still exists already
# handles them. F opens qemu at registration, so the entry also works inside
# other mount namespaces.
binfmt=/proc/sys/fs/binfmt_misc
aarch64_magic='7f454c460201010000000000000000000200b700'
handled() {
  local entry interpreter
  for entry in "$binfmt"/*; do
    [ -f "$entry" ] || continue
    case "${entry##*/}" in register|status) continue ;; esac
    grep -qx enabled "$entry" && grep -q "^magic $aarch64_magic" "$entry" || continue
    interpreter="$(sed -n 's/^interpreter //p' "$entry")"
    if [ -n "$interpreter" ] && [ -x "$interpreter" ]; then
      return 0
    fi
    echo "binfmt_misc entry ${entry##*/} names $interpreter, which no longer exists" >&2
  done
  return 1
}

if [ ! -e "$binfmt/register" ]; then
  as_root mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ "$(cat "$binfmt/status")" != enabled ]; then
  # The switch is global: every registered format comes back, not just ours.
  echo "binfmt_misc is disabled system-wide; enabling it, which re-enables every registered entry" >&2
  echo "(echo 0 > $binfmt/status disables it again)" >&2
  echo 1 | as_root tee "$binfmt/status" >/dev/null
fi
if ! handled; then
  echo "registering qemu-aarch64 with binfmt_misc"
  # A disabled or stale entry of ours goes first. Another tool's stale entry
  # stays; the newest registration is the one the kernel tries first.
  if [ -e "$binfmt/qemu-aarch64" ]; then
    echo -1 | as_root tee "$binfmt/qemu-aarch64" >/dev/null || true
  fi
  qemu="$(command -v qemu-aarch64)"
  entry=':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
  entry+=':\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  entry+=":$qemu:F"
  # A parallel run may have registered it meanwhile.
  printf '%s' "$entry" | as_root tee "$binfmt/register" >/dev/null 2>&1 || handled 2>/dev/null
  handled || { echo "could not register qemu-aarch64 with binfmt_misc" >&2; exit 1; }
fi

# The VM's root file system is made in a chroot, where the dynamically linked
# qemu-aarch64 finds no host loader: the static one, registered after it, is
# the one the kernel tries first, in a chroot or not.
static_entry="$binfmt/qemu-aarch64-static"
if [ "$vm" = yes ] && ! { [ -f "$static_entry" ] && grep -qx enabled "$static_entry" &&
                          grep -qx 'interpreter /usr/bin/qemu-aarch64-static' "$static_entry"; }; then
  echo "registering qemu-aarch64-static with binfmt_misc"
  [ -e "$static_entry" ] && { echo -1 | as_root tee "$static_entry" >/dev/null || true; }
  entry=':qemu-aarch64-static:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
  entry+=':\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  entry+=":/usr/bin/qemu-aarch64-static:F"
  printf '%s' "$entry" | as_root tee "$binfmt/register" >/dev/null 2>&1 || true
  grep -qx enabled "$static_entry" 2>/dev/null ||
    { echo "could not register qemu-aarch64-static with binfmt_misc" >&2; exit 1; }
fi
