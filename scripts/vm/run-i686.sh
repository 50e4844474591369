#!/usr/bin/env bash
# Runs the 32-bit suite (CTest in <build>/i686) in a whole Debian guest under
# qemu's software emulation, for machines whose kernel runs no 32-bit code.
# The build tree and the sources go in on a disk image at the same absolute
# paths; CTest's output and status come back on it. Extra arguments go to
# ctest (e.g. -R vpk_test). Exits with the suite's status.
#   ZR_VM_TIMEOUT  seconds the whole guest run may take (default 3600)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
out=$(cd "$out" && pwd)
source "$here/common.sh"
export HOME=${HOME:-/root}

# The host side: debootstrap makes the guest, qemu runs it, e2fsprogs packs
# and reads its disks.
missing=()
command -v debootstrap >/dev/null || missing+=(debootstrap)
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
command -v qemu-img >/dev/null || missing+=(qemu-utils)
command -v debugfs >/dev/null || missing+=(e2fsprogs)
if [ ${#missing[@]} -gt 0 ]; then
  echo "vm: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

t0=$(date +%s)
bash "$here/image.sh" >/dev/null
t_image=$(($(date +%s) - t0))

for f in "$out/i686/CTestTestfile.cmake" "$out/x64/tests/wine/keepalive.exe"; do
  [ -e "$f" ] || { echo "vm: $f is missing: build both Windows trees first" >&2; exit 1; }
done

work=$out/vm
rm -rf "$work"
mkdir -p "$work/job/tree$root" "$work/job/out"
# The sources without their build and git state, then the 32-bit tree and the
# desktop keeper from the 64-bit one.
tar -C "$root" --exclude=./.git --exclude="./${out#"$root"/}" --exclude=./build -cf - . |
  tar -C "$work/job/tree$root" -xf -
mkdir -p "$work/job/tree$out/x64/tests/wine"
# Objects and archives are no use to CTest.
mkdir -p "$work/job/tree$out/i686"
tar -C "$out/i686" --exclude='*.obj' --exclude='*.a' -cf - . | tar -C "$work/job/tree$out/i686" -xf -
cp -a "$out/x64/tests/wine/keepalive.exe" "$work/job/tree$out/x64/tests/wine/"
printf '%s\n' "$root" "$out/i686" "$out/x64/tests/wine" >"$work/job/paths"
printf 'root=%q\nout=%q\n' "$root" "$out" >"$work/job/env"
: >"$work/job/args"
[ $# = 0 ] || printf '%s\n' "$@" >"$work/job/args"
cp "$here/guest-suite.sh" "$work/job/guest.sh"
vm_disk "$work/job" "$work/job.img" 1024
rm -rf "$work/job"

t1=$(date +%s)
rc=0
vm_boot snapshot "$work/job.img" "$work/console.log" "${ZR_VM_TIMEOUT:-3600}" || rc=$?
t_run=$(($(date +%s) - t1))
if [ $rc = 124 ] || [ $rc = 137 ]; then
  echo "vm: the guest did not finish within ${ZR_VM_TIMEOUT:-3600} s; its console ends:"
  tail -n 40 "$work/console.log"
  exit 1
fi
if ! vm_get "$work/job.img" /out/ctest.log "$work/ctest.log" || ! vm_get "$work/job.img" /out/status "$work/status"; then
  echo "vm: the guest left no test results (qemu status $rc); its console ends:"
  tail -n 40 "$work/console.log"
  exit 1
fi
cat "$work/ctest.log"
vm_get "$work/job.img" /out/times "$work/times" || true
boot=$(awk '/^boot/ {print $2}' "$work/times" 2>/dev/null || true)
prefix=$(awk '/^prefix/ {print $2}' "$work/times" 2>/dev/null || true)
suite=$(awk '/^suite/ {print $2}' "$work/times" 2>/dev/null || true)
echo "vm: image ready in ${t_image} s; guest run ${t_run} s (kernel to init ${boot:-?} s, Wine prefix ${prefix:-?} s, CTest ${suite:-?} s)"
exit "$(cat "$work/status")"
