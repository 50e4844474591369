#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: the pattern matcher natively
# (against PCRE2 and std::regex); under Wine, the window thread's cost and the
# rank lookup's latency.
set -euo pipefail
# Wine and ccache keep their state under HOME; CI may run without one.
export HOME=${HOME:-/root}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

echo "== pattern matcher (native)"
"$out/native/bench/regex_bench" --benchmark_min_time=0.2

source "$root/scripts/wine-env.sh"
rs_dir="$out/bench-rank-service"
trap 'wine_down; bash "$root/scripts/rank-service.sh" stop "$rs_dir"' EXIT
# The local rank service for the lookup's latency, knowing example.com.
bash "$root/scripts/rank-service.sh" start --fresh 127.0.0.93 "$rs_dir" "$root/tests/rpc/data/ranks.csv"
wine_up "$out/x64/tests/wine/keepalive.exe"
echo "== window thread (under Wine)"
timeout 600 wine "$out/x64/bench/window_thread_bench.exe" 2>/dev/null </dev/null |
  grep -v -E '^[0-9:.]+ (fire|SetValue|Advise|Unadvise|windows) ' | tr -d '\r'
echo "== rank lookup latency (under Wine)"
timeout 600 wine "$out/x64/bench/lookup_latency_bench.exe" 127.0.0.93 200 2>/dev/null </dev/null |
  grep -v -E '^[0-9:.]+ (fire|SetValue|Advise|Unadvise|windows) ' | tr -d '\r'
