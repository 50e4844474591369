#!/usr/bin/env bash
# Non-blank lines of code in tests/ against everything else (benchmarks count
# as code), and the ratio: the figure the test suite's size is held to.
# Templates (*.h.in, *.rgs.in, ...) count as the files they become.
set -euo pipefail
cd "$(dirname "$0")/.."
files() { # folder... ; prints the counted files under them
  find "$@" \( -path ./build -o -path './build-*' -o -path ./.git -o -path ./tests/fuzz/corpus \) -prune -o -type f \
    \( -name '*.h' -o -name '*.cpp' -o -name '*.S' -o -name '*.py' -o -name '*.sh' \
       -o -name CMakeLists.txt -o -name '*.cmake' -o -name '*.idl' \
       -o -name '*.rc' -o -name '*.rgs' -o -name '*.def' -o -name '*.wxs' \
       -o -name '*.h.in' -o -name '*.idl.in' -o -name '*.rgs.in' \) -print0
}
count() { files "$@" | xargs -0 -r cat | grep -c '[^[:space:]]' || true; }
tests=$(count ./tests)
rest=$(files . | grep -zv '^\./tests/' | xargs -0 -r cat | grep -c '[^[:space:]]' || true)
if [ "${1:-}" = "-v" ]; then
  for d in tests/*/; do printf '%-24s %6s\n' "$d" "$(count "./$d")"; done
fi
printf 'tests: %s\nrest:  %s\nratio: %s%%\n' "$tests" "$rest" "$(awk -v t="$tests" -v r="$rest" 'BEGIN{printf "%.1f", 100*t/r}')"
