#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: the pattern matcher natively
# (against PCRE2 and std::regex) and the window thread's cost under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

echo "== pattern matcher (native)"
"$out/native/bench/regex_bench" --benchmark_min_time=0.2

source "$root/scripts/wine-env.sh"
trap wine_down EXIT
wine_up "$out/x64/tests/wine/keepalive.exe"
echo "== window thread (under Wine)"
timeout 600 wine "$out/x64/bench/window_thread_bench.exe" 2>/dev/null </dev/null |
  grep -v -E '^[0-9:.]+ (fire|SetValue|Advise|Unadvise|windows) ' | tr -d '\r'
