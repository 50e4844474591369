#!/usr/bin/env bash
# Makes the guest that runs the 32-bit suite where this kernel runs no 32-bit
# code: Debian with Wine (both halves), its kernel and initrd, under $(vm_dir)
# as root.img, vmlinuz, initrd.img.
# Made once per recipe (a hash of this file) and kept; takes minutes.
# Needs root, debootstrap, qemu-system-x86, e2fsprogs and Debian's archive.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
dir=$(vm_dir)
[ -e "$dir/ready" ] && { echo "$dir"; exit 0; }

mkdir -p "$vm_cache"
exec 9>"$vm_cache/lock"
flock 9
[ -e "$dir/ready" ] && { echo "$dir"; exit 0; }
# Older recipes' images only take room.
find "$vm_cache" -mindepth 1 -maxdepth 1 -type d ! -path "$dir" -exec rm -rf {} +

# Each stage leaves a mark, so that a failed run starts again where it stopped.
chroot_dir=$dir/root
trap 'umount "$chroot_dir/proc" "$chroot_dir/sys" 2>/dev/null || true' EXIT
mkdir -p "$dir"
log=$dir/make.log
step() { echo "vm image: $1 ($(date -u +%T))" >&2; }

if [ ! -e "$dir/system.done" ]; then
rm -rf "$chroot_dir"
# The same release and mirror as this machine's, so the guest's Wine is the one
# the 64-bit suite runs under here.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
  awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}')
[ -n "$mirror" ] || mirror=$(awk '/^deb / && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
mirror=${mirror:-http://deb.debian.org/debian}

step "debootstrap $suite from $mirror"
if ! debootstrap --variant=minbase "$suite" "$chroot_dir" "$mirror" >"$log" 2>&1; then
  tail -n 20 "$log" >&2; exit 1
fi
cp -a /etc/apt/sources.list* "$chroot_dir/etc/apt/" 2>/dev/null || true
printf '#!/bin/sh\nexit 101\n' >"$chroot_dir/usr/sbin/policy-rc.d"
chmod +x "$chroot_dir/usr/sbin/policy-rc.d"
mount -t proc proc "$chroot_dir/proc"
mount -t sysfs sys "$chroot_dir/sys"

step "kernel, Wine, Xvfb, CTest, Python, binutils"
# binutils for the lean-binary test, which reads the DLLs and symbolizes a trace.
packages=(linux-image-amd64 wine wine64 wine32:i386 fonts-wine xvfb xauth file
  cmake python3 iproute2 procps binutils binutils-mingw-w64-i686 binutils-mingw-w64-x86-64)
if ! chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
     sh -c "dpkg --add-architecture i386 && apt-get update -qq &&
            apt-get install -y -qq --no-install-recommends ${packages[*]} && apt-get clean" >>"$log" 2>&1; then
  tail -n 20 "$log" >&2; exit 1
fi
umount "$chroot_dir/proc" "$chroot_dir/sys"
rm -rf "$chroot_dir"/var/lib/apt/lists/* "$chroot_dir/usr/sbin/policy-rc.d"
cp "$(ls "$chroot_dir"/boot/vmlinuz-* | sort -V | tail -n1)" "$dir/vmlinuz"
cp "$(ls "$chroot_dir"/boot/initrd.img-* | sort -V | tail -n1)" "$dir/initrd.img"

# PID 1 of the guest: the job disk's guest.sh does the work, then power off.
mkdir -p "$chroot_dir/opt/zr"
cat >"$chroot_dir/opt/zr/init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sys /sys 2>/dev/null
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm /job
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
mount -t tmpfs run /run
rm -rf /tmp/* /tmp/.[!.]* 2>/dev/null
ip link set lo up
hostname zorvan-vm
if mount -t ext4 /dev/vdb /job; then
  mkdir -p /job/out
  /bin/bash /job/guest.sh </dev/null >/dev/console 2>&1
  echo $? >/job/out/guest.status
  sync
  umount /job || umount -l /job
fi
mount -o remount,ro / 2>/dev/null
sync
echo o >/proc/sysrq-trigger
sleep 60
INIT
chmod +x "$chroot_dir/opt/zr/init"

step "root disk"
truncate -s 8G "$dir/root.img"
mkfs.ext4 -q -F -d "$chroot_dir" "$dir/root.img"
rm -rf "$chroot_dir"
touch "$dir/system.done"
fi

step "made"
touch "$dir/ready"
echo "$dir"
