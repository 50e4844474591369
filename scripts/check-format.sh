#!/usr/bin/env bash
# Fails when a product file differs from what clang-format makes of it
# (.clang-format at the top of the tree). Tests, benchmarks and stand-ins
# are not held to it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files -- 'vpk/*.cpp' 'vpk/*.h' 'settings/*.cpp' 'settings/*.h' 'regex/*.h' 'regex/*.cpp' \
  'rpc/*.cpp' 'rpc/*.h' 'ui/*.cpp' 'ui/*.h' 'plugin/*.cpp' 'plugin/*.h' 'server/*.cpp' 'server/*.h')
if clang-format --dry-run --Werror "${files[@]}" 2>"${TMPDIR:-/tmp}/zr-format.log"; then
  echo "format: ${#files[@]} product files as .clang-format has them"
else
  grep -E '^[^ ].*error:' "${TMPDIR:-/tmp}/zr-format.log" | cut -d: -f1 | sort -u | sed 's/^/format: not formatted: /'
  echo "format: run clang-format -i on the files above"
  exit 1
fi
