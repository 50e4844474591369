# Run by the guest's init from the job disk: the 32-bit suite as the test
# script runs it on the host, in a prefix of its own.
set -u
. /job/env
boot=$(cut -d' ' -f1 /proc/uptime)
# Longest last, so that each folder lands inside the one above it.
while read -r p; do
  mkdir -p "$p" && mount --bind "/job/tree$p" "$p"
done </job/paths
mapfile -t args </job/args
# The benchmarks print no goal lines under emulation.
export ZR_EMULATED=1
source "$root/scripts/wine-env.sh"
start=$(date +%s)
wine_up "$out/x64/tests/wine/keepalive.exe"
prefix=$(($(date +%s) - start))
ctest --test-dir "$out/i686" --output-on-failure -j2 "${args[@]}" 2>&1 | tee /job/out/ctest.log
status=${PIPESTATUS[0]}
wine_down
printf 'boot %s\nprefix %s\nsuite %s\n' "${boot%.*}" "$prefix" $(($(date +%s) - start - prefix)) >/job/out/times
echo "$status" >/job/out/status
