#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the 64-bit
# Windows build under Wine, and the native build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
trap wine_down EXIT
wine_up "$out/x64/tests/wine/keepalive.exe"

status=0
echo "== tests under Wine (x86_64)"
ctest --test-dir "$out/x64" --output-on-failure -j2 || status=1
echo "== native tests"
ctest --test-dir "$out/native" --output-on-failure -j2 || status=1
exit $status
