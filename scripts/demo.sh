#!/usr/bin/env bash
# The main job. For now: set up the machine and build everything (the 64-bit
# and 32-bit Windows builds and the native build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
out=${ZR_BUILD_DIR:-$root/build}
echo "built:"
find "$out/x64" "$out/i686" -maxdepth 3 \( -name '*.dll' -o -name '*.exe' \) -not -path '*/CMakeFiles/*' | sort
