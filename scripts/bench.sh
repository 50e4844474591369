#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: the pattern matcher natively
# (against PCRE2 and std::regex) and the rank service under wrk; under Wine,
# the window thread's cost, the rank lookup's latency stage by stage, the
# throughput of many tabs at once, the process's resources over many lookups
# and plug-in lifecycles, and the host's memory at the first error of a session.
#   ZR_BENCH_LOOKUPS / ZR_BENCH_CYCLES: how many for the resources (10000, 1000)
#   ZR_ARCH: which build's programs run under Wine, x86_64 (default) or i686
#   ZR_EMULATED=1: the machine is emulated (a VM without acceleration): the
#     figures are printed as measured, without goal lines
set -euo pipefail
# Wine and ccache keep their state under HOME; CI may run without one.
export HOME=${HOME:-/root}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
source "$root/scripts/wine-env.sh"
case "${ZR_ARCH:-x86_64}" in
  x86_64) arch_dir=x64 ;;
  i686)
    arch_dir=i686
    problem=$(wine32_problem)
    if [ -n "$problem" ]; then echo "bench: the i686 programs cannot run: $problem"; exit 1; fi ;;
  *) echo "bench: ZR_ARCH is x86_64 or i686, not ${ZR_ARCH}"; exit 2 ;;
esac
bash "$root/scripts/build.sh"

# Every benchmark prints its goal ratios on lines starting "goal: "; they are
# gathered here and printed again together at the end.
goals=$(mktemp)
mode=""
if [ "${ZR_EMULATED:-}" = 1 ]; then
  mode=", emulated"
  echo "bench: an emulated machine (ZR_EMULATED=1): figures only, no goal lines"
fi
echo "== pattern matcher (native)"
"$out/native/bench/regex_bench" --benchmark_min_time=0.2 | tee -a "$goals"
# The rank service under wrk at 10 thousand to 10 million recorded lookups,
# SQLite and a Redis Cluster, with nginx beside it (ZR_RANK_BENCH_SIZES).
echo "== rank service (native, wrk)"
/usr/bin/python3 "$root/rank-service/bench/bench.py" \
  --sizes "${ZR_RANK_BENCH_SIZES:-10000,1000000,10000000}" | tee -a "$goals"

rs_dir="$out/bench-rank-service"
trap 'wine_down; bash "$root/scripts/rank-service.sh" stop "$rs_dir"; rm -f "$goals"' EXIT
# The local rank service for the lookup's latency, knowing example.com.
bash "$root/scripts/rank-service.sh" start --fresh 127.0.0.93 "$rs_dir" "$root/tests/rpc/data/ranks.csv"
wine_up "$out/x64/tests/wine/keepalive.exe"
# The toolbar host logs every event on stdout with a time stamp: left out.
run() { # title, program, args...
  local title=$1 program=$2; shift 2
  echo "== $title (under Wine, ${ZR_ARCH:-x86_64}$mode)"
  timeout 900 wine "$out/$arch_dir/bench/$program" "$@" 2>/dev/null </dev/null |
    tr -d '\r' | grep -v -E '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} ' | tee -a "$goals" || echo "$program: exit status $?"
}
run "window thread" window_thread_bench.exe
run "rank lookup latency" lookup_latency_bench.exe 127.0.0.93 200
run "throughput" throughput_bench.exe 8 100
run "resources" resource_bench.exe 127.0.0.93 "${ZR_BENCH_LOOKUPS:-10000}" "${ZR_BENCH_CYCLES:-1000}"
# The first error's memory: the binaries as they ship, without their .debug files.
lean="$out/bench-first-trace/$arch_dir"
rm -rf "$lean" && mkdir -p "$lean"
cp "$out/$arch_dir/toolbar/zorvantoolbar.exe" "$out/$arch_dir/platform/processlog/processlog.dll" \
   "$out/$arch_dir/server/ZorvanRank.dll" "$out/$arch_dir/plugin/host/ZorvanToolbar.tlb" "$lean/"
run "first-trace memory" first_trace_bench.exe 127.0.0.94 "Z:$lean" 10
echo "== goals"
grep '^goal: ' "$goals" || echo "no goal lines"
