# Sourced by the VM scripts: the guest's cache folder, ext4 disk images made
# and read without mounting, and one boot of the guest under qemu (TCG).
#   vm_dir   vm_disk DIR IMG EXTRA_MB   vm_get IMG PATH FILE   vm_boot ROOT_MODE JOB_IMG LOG SECONDS

# Where the guest image lives, one folder per recipe: outside the tree, kept
# between runs on the machine.
vm_cache=${ZR_VM_CACHE:-/var/cache/zorvanrank-vm}

# The folder of the current recipe: a hash of the image script.
vm_dir() {
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  echo "$vm_cache/$(sha256sum "$here/image.sh" | cut -c1-16)"
}

# An ext4 image holding DIR, with EXTRA_MB free for what the guest writes.
# No journal: the host reads it back with debugfs, which replays none.
vm_disk() {
  local dir=$1 img=$2 extra=$3 used
  used=$(du -sm "$dir" | cut -f1)
  rm -f "$img"
  truncate -s "$((used * 5 / 4 + extra))M" "$img"
  mkfs.ext4 -q -F -O ^has_journal -E root_owner=0:0 -d "$dir" "$img"
}

# Copies PATH from the image IMG into FILE; fails when it is not there.
vm_get() {
  local img=$1 path=$2 file=$3
  rm -f "$file"
  debugfs -R "dump $path $file" "$img" >/dev/null 2>&1 || true
  [ -e "$file" ]
}

# Boots the guest of the current recipe with JOB_IMG as its second disk; the
# guest's init runs the job disk's guest.sh and powers off. ROOT_MODE "write"
# keeps what the guest writes on its root disk (when the image is made),
# "snapshot" throws it away. The console goes to LOG; SECONDS bound the run.
vm_boot() {
  local mode=$1 job=$2 log=$3 limit=$4 dir snap=on
  dir=$(vm_dir)
  [ "$mode" = write ] && snap=off
  # Without -smap: every Wine process oopses the guest kernel on iret.
  timeout --kill-after=30 "$limit" qemu-system-x86_64 \
    -accel tcg,thread=multi,tb-size=1024 -cpu max,-smap -m 4G -smp 2 \
    -nographic -no-reboot -nic none \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw rootfstype=ext4 console=ttyS0 quiet panic=-1 init=/opt/zr/init" \
    -drive "file=$dir/root.img,format=raw,if=virtio,cache=unsafe,snapshot=$snap" \
    -drive "file=$job,format=raw,if=virtio,cache=unsafe" \
    </dev/null >"$log" 2>&1
}
