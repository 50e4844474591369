#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the 64-bit
# Windows build under Wine, then the 32-bit one in the same prefix (WoW64),
# and the native build.
set -euo pipefail
# Wine and ccache keep their state under HOME; CI may run without one.
export HOME=${HOME:-/root}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
trap wine_down EXIT
wine_up "$out/x64/tests/wine/keepalive.exe"

status=0
echo "== format of the product code"
bash "$root/scripts/check-format.sh" || status=1
echo "== layers of the product code"
bash "$root/scripts/check-layers.sh" || status=1
echo "== tests under Wine (x86_64)"
ctest --test-dir "$out/x64" --output-on-failure -j2 || status=1
# The 32-bit suite: natively where 32-bit programs run, else in a whole guest
# system under emulation where only the kernel refuses them (ZR_I686_VIA=vm
# forces the guest).
wine32=$(wine32_problem)
if [ "${ZR_I686_VIA:-}" = vm ] || [[ $wine32 == *"does not execute 32-bit"* ]]; then
  echo "== tests under Wine (i686, WoW64) in a qemu VM (TCG emulation)"
  bash "$root/scripts/vm/run-i686.sh" || status=1
  wine32=
elif [ -z "$wine32" ]; then
  echo "== tests under Wine (i686, WoW64, native)"
  ctest --test-dir "$out/i686" --output-on-failure -j2 || status=1
fi
echo "== native tests"
ctest --test-dir "$out/native" --output-on-failure -j2 || status=1

# The matcher's fuzzer, a short bounded run from the committed seeds: a clang
# build of its own with the sanitizers, holding only the fuzz target.
echo "== fuzzing (native, clang)"
fuzz_launcher=()
command -v ccache >/dev/null && fuzz_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 cmake -S "$root" -B "$out/fuzz" -G Ninja "${fuzz_launcher[@]}" \
     -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZR_FUZZ=ON >/dev/null &&
   CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 cmake --build "$out/fuzz" --target regex_fuzz -- -j2 >"$out/fuzz.log" 2>&1; then
  ctest --test-dir "$out/fuzz" -R '^regex_fuzz$' --output-on-failure || status=1
else
  tail -n 40 "$out/fuzz.log" 2>/dev/null || true
  echo "fuzz build failed"; status=1
fi
if [ -n "$wine32" ]; then
  echo "== NOT RUN: the 32-bit suite (i686 under Wine), because $wine32"
fi
exit $status
