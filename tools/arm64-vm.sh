#!/usr/bin/env bash
# Runs the cross-built aarch64 test suite on Debian's own arm64 kernel in a
# qemu-system-aarch64 virtual machine (TCG, no KVM), where capabilities,
# file capabilities, the set-user-ID bit and signal masks are the kernel's,
# not qemu-user's.
#   tools/arm64-vm.sh <build dir> [ctest arguments...]
# The build tree must come from the arm64 flavour of tools/run-tests.sh. The
# first run makes, under <build dir>/vm/, a minimal Debian arm64 root file
# system (debootstrap) with what the tests run, Debian's arm64 kernel and a
# small initramfs that mounts both over 9p; later runs reuse them. The guest
# sees the source and build trees at the host's paths and runs ctest there as
# root; its console is <build dir>/vm/console.log, and the exit status is
# ctest's. tools/install-arm64.sh --vm installs what this needs.
#
# Bounds (seconds, overridable): KO_VM_BOOT_TIMEOUT until the guest has
# started, KO_VM_TIMEOUT for the whole run. KO_VM_MEMORY is in MiB.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$PWD"

[ $# -ge 1 ] || { echo "usage: $0 <build dir> [ctest arguments...]" >&2; exit 2; }
build="$(cd "$1" && pwd)"
shift
[ -f "$build/CTestTestfile.cmake" ] || { echo "$build holds no built test tree" >&2; exit 2; }

boot_timeout="${KO_VM_BOOT_TIMEOUT:-600}"
run_timeout="${KO_VM_TIMEOUT:-10800}"
memory="${KO_VM_MEMORY:-4096}"
cpus=2
# A stopped guest gets this long to end before qemu is killed.
kill_grace=10

vm="$build/vm"
rootfs="$vm/rootfs"
console="$vm/console.log"
mkdir -p "$vm"

# What the tests run inside, beside the built tree: ctest and cmake, the
# compiler and development packages the out-of-tree plugin tests build with,
# and the tools some tests call.
guest_packages=(
  cmake make g++ pkg-config file dpkg-dev
  libboost1.81-dev libfmt-dev librapidxml-dev libgtest-dev libgmock-dev libssl-dev libexpat1-dev
  openssl locales util-linux libxml2-utils e2fsprogs kmod busybox-static
)
# The 9p transport and its virtio bus, the random number device, and loop
# devices (the power-cut tests mount images).
initramfs_modules=(virtio_pci 9pnet_virtio 9p virtio_rng)

suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
# The mirror apt is configured with for this release's main component.
mirror="$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
          awk -v s="$suite" '$2 == s && $3 == "main" { print $1; exit }')"
[ -n "$mirror" ] || { echo "apt has no mirror configured for $suite main" >&2; exit 1; }
kernel_package="$(apt-cache depends linux-image-arm64:arm64 | awk '/Depends: linux-image-/ { print $2; exit }')"
kernel_package="${kernel_package%:arm64}"
[ -n "$kernel_package" ] || { echo "apt knows no linux-image-arm64:arm64 (is arm64 enabled? tools/install-arm64.sh)" >&2; exit 1; }
stamp="$suite $mirror $kernel_package ${guest_packages[*]}"

# A second stage that failed may leave /proc and /sys mounted inside.
remove_tree() {
  local dir="$1" point
  [ -e "$dir" ] || return 0
  while read -r point; do
    umount -l "$point" 2>/dev/null || true
  done < <(awk -v d="$dir/" 'index($2, d) == 1 { print $2 }' /proc/mounts | sort -r)
  rm -rf --one-file-system "$dir"
}

prepare_rootfs() {
  local fresh="$vm/rootfs.new" kernel_tree="$vm/kernel"
  echo "preparing the arm64 root file system in $rootfs (once; a few minutes)"
  remove_tree "$fresh"
  remove_tree "$rootfs"
  remove_tree "$kernel_tree"
  local include
  include="$(IFS=,; echo "${guest_packages[*]}")"
  debootstrap --arch=arm64 --variant=minbase --foreign --include="$include" "$suite" "$fresh" "$mirror" \
    >"$vm/debootstrap.log" 2>&1 || { tail -20 "$vm/debootstrap.log" >&2; echo "debootstrap failed" >&2; return 1; }
  # The second stage runs arm64 programs: the static qemu-user handles them.
  if ! chroot "$fresh" /debootstrap/debootstrap --second-stage >>"$vm/debootstrap.log" 2>&1; then
    tail -20 "$vm/debootstrap.log" >&2
    echo "debootstrap --second-stage failed (arm64 programs in a chroot need tools/install-arm64.sh --vm)" >&2
    remove_tree "$fresh"
    return 1
  fi
  echo 'en_US.UTF-8 UTF-8' >"$fresh/etc/locale.gen"
  chroot "$fresh" locale-gen >/dev/null
  echo dvr-arm64-vm >"$fresh/etc/hostname"

  echo "fetching $kernel_package:arm64"
  mkdir -p "$kernel_tree"
  (cd "$kernel_tree" && chmod 777 . && apt-get download -q "$kernel_package:arm64" >/dev/null)
  dpkg-deb -x "$kernel_tree"/*.deb "$kernel_tree/tree"
  local version
  version="$(ls "$kernel_tree/tree/lib/modules")"
  cp "$kernel_tree/tree/boot/vmlinuz-$version" "$vm/vmlinuz"
  mkdir -p "$fresh/usr/lib/modules"
  cp -a "$kernel_tree/tree/lib/modules/$version" "$fresh/usr/lib/modules/"
  depmod -b "$fresh" "$version"
  echo "$version" >"$vm/kernel-version"
  rm -rf "$kernel_tree"

  # The built tree's tests name the cross build's emulator; on the target's
  # own kernel a program runs as itself.
  printf '#!/bin/sh\nexec "$@"\n' >"$fresh/usr/bin/qemu-aarch64"
  chmod 755 "$fresh/usr/bin/qemu-aarch64"
  rm -f "$fresh"/var/cache/apt/archives/*.deb
  echo "$stamp" >"$fresh/.ko-vm-stamp"
  mv "$fresh" "$rootfs"
}

# busybox and the modules that mount the root file system over 9p.
prepare_initramfs() {
  local version stage="$vm/initramfs"
  version="$(cat "$vm/kernel-version")"
  rm -rf "$stage"
  mkdir -p "$stage/bin" "$stage/proc" "$stage/sys" "$stage/dev" "$stage/newroot" "$stage/modules"
  cp "$rootfs/bin/busybox" "$stage/bin/busybox"
  : >"$stage/modules/order"
  local line file
  while read -r line; do
    file="${line#insmod }"
    file="${file%% *}"
    [ "${line%% *}" = insmod ] || continue
    grep -qx "${file##*/}" "$stage/modules/order" && continue
    cp "$file" "$stage/modules/"
    echo "${file##*/}" >>"$stage/modules/order"
  done < <(for module in "${initramfs_modules[@]}"; do
             modprobe -d "$rootfs" -S "$version" --show-depends "$module"
           done)
  cat >"$stage/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do
  insmod "/modules/$module" || echo "ko-vm: insmod $module failed"
done
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose rootfs /newroot; then
  echo "ko-vm: cannot mount the root file system"
  poweroff -f
fi
umount /proc /sys /dev
exec switch_root /newroot /ko-vm/run
INIT
  chmod 755 "$stage/init"
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$vm/initramfs.cpio.gz"
  rm -rf "$stage"
}

# The guest's first program: mounts what the tests expect, runs ctest in
# the build tree and says how it ended on the console.
write_guest_run() {
  mkdir -p "$rootfs/ko-vm"
  {
    printf 'source_dir=%q\nbuild=%q\n' "$source_dir" "$build"
    printf 'ctest_args=('; printf '%q ' "$@"; printf ')\n'
  } >"$rootfs/ko-vm/args"
  cat >"$rootfs/ko-vm/run" <<'RUN'
#!/bin/bash
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
. /ko-vm/args
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname -F /etc/hostname
echo 1 >/proc/sys/kernel/sysrq
modprobe loop
mkdir -p "$source_dir"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 work "$source_dir" || echo "ko-vm: cannot mount $source_dir"
echo "ko-vm: up: $(uname -m), kernel $(uname -r), $(cat /proc/version)"
echo "ko-vm: $(nproc) CPUs, $(awk '/MemTotal/ { print $2 / 1024 " MiB" }' /proc/meminfo), running ctest in $build"
cd "$build" && ctest "${ctest_args[@]}"
status=$?
echo "ko-vm: ctest exit status $status"
sync
echo o >/proc/sysrq-trigger
sleep 60
RUN
  chmod 755 "$rootfs/ko-vm/run"
}

if [ ! -f "$rootfs/.ko-vm-stamp" ] || [ "$(cat "$rootfs/.ko-vm-stamp")" != "$stamp" ] ||
   [ ! -f "$vm/vmlinuz" ] || [ ! -f "$vm/kernel-version" ]; then
  prepare_rootfs
fi
[ -f "$vm/initramfs.cpio.gz" ] && [ "$vm/initramfs.cpio.gz" -nt "$rootfs/.ko-vm-stamp" ] || prepare_initramfs
write_guest_run "$@"

command -v qemu-system-aarch64 >/dev/null || { echo "no qemu-system-aarch64: tools/install-arm64.sh --vm" >&2; exit 1; }
: >"$console"
echo "booting $(cat "$vm/kernel-version") under qemu-system-aarch64 (console: $console)"
start=$(date +%s)
timeout --kill-after="$kill_grace" "$run_timeout" \
  qemu-system-aarch64 -M virt -cpu cortex-a57 -smp "$cpus" -m "$memory" \
    -display none -monitor none -serial "file:$console" -no-reboot \
    -kernel "$vm/vmlinuz" -initrd "$vm/initramfs.cpio.gz" \
    -append "console=ttyAMA0 panic=1 loglevel=4" \
    -virtfs "local,path=$rootfs,mount_tag=rootfs,security_model=none,id=rootfs" \
    -virtfs "local,path=$source_dir,mount_tag=work,security_model=none,id=work" \
    -device virtio-rng-pci </dev/null &
qemu=$!
tail -n +1 -f --pid="$qemu" "$console" &
follower=$!
stop_guest() { kill "$qemu" 2>/dev/null || true; wait "$qemu" 2>/dev/null || true; }
trap 'stop_guest; kill "$follower" 2>/dev/null || true' EXIT

booted=no
while kill -0 "$qemu" 2>/dev/null; do
  if grep -q '^ko-vm: up' "$console"; then booted=yes; break; fi
  if [ $(( $(date +%s) - start )) -ge "$boot_timeout" ]; then
    echo "the arm64 guest did not start within ${boot_timeout} s: see $console" >&2
    exit 1
  fi
  sleep 2
done
qemu_status=0
wait "$qemu" || qemu_status=$?
wait "$follower" 2>/dev/null || true
trap - EXIT
elapsed=$(( $(date +%s) - start ))
grep -q '^ko-vm: up' "$console" && booted=yes
if [ "$booted" = no ]; then
  echo "the arm64 guest stopped before it started the tests (qemu status $qemu_status): see $console" >&2
  exit 1
fi
status="$(sed -n 's/^ko-vm: ctest exit status \([0-9]*\).*/\1/p' "$console" | tail -1)"
if [ -z "$status" ]; then
  if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
    echo "the arm64 guest did not finish within ${run_timeout} s and was stopped: see $console" >&2
  else
    echo "the arm64 guest stopped before ctest finished (qemu status $qemu_status): see $console" >&2
  fi
  exit 1
fi
echo "arm64 VM: ctest exit status $status after ${elapsed} s"
exit "$status"
