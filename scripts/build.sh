#!/usr/bin/env bash
# Builds everything: the 64-bit Windows build, the 32-bit Windows build (the
# shipping target; both run under Wine) and the native build of the pieces
# without Windows calls.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
launcher=()
# Share ccache hits between checkouts of the tree.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
export HOME=${HOME:-/root}
command -v ccache >/dev/null && ccache -s >/dev/null 2>&1 && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

configure() { # folder, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$out/$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}
configure x64  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
configure i686 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
configure native
for dir in x64 i686 native; do
  echo "build: $dir"
  if ! cmake --build "$out/$dir" -- -j"$(nproc)" >"$out/$dir.log" 2>&1; then
    grep -v '^\[' "$out/$dir.log" | tail -n 60; echo "build: $dir failed"; exit 1
  fi
  grep -i -A3 'warning:' "$out/$dir.log" || true
done
# The setup packages carry the DLLs of both Windows trees: built last.
echo "build: packages"
if ! cmake --build "$out/x64" --target packages >"$out/packages.log" 2>&1; then
  tail -n 30 "$out/packages.log"; echo "build: packages failed"; exit 1
fi
ls "$out"/ZorvanRank-*.msi
