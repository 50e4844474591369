#!/usr/bin/env bash
# The mutation run: puts each fault of scripts/mutants.txt into a scratch copy
# of the source, rebuilds what depends on it, runs the tests said to cover it
# and tells whether they noticed. On demand only (it takes long); not in CI.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: /tmp/zr-netns bash scripts/mutate.sh [--src DIR] [--work DIR] [--list FILE] [ID...]
  Run it inside a private network namespace (the wrapper /tmp/zr-netns): the
  Wine tests bind fixed loopback addresses.
  ID...        only these mutants (e.g. M07 M12); all of them by default
  --src DIR    the source tree to mutate (ZR_MUTATE_SRC; default: this checkout)
  --work DIR   scratch copy and its build trees, kept between runs for
               incremental builds (ZR_MUTATE_DIR; default: /tmp/zr-mutate)
  --list FILE  the mutants (default: scripts/mutants.txt of this checkout)
The source is never changed: mutants go into WORK/src, which is synced from the
source first (files whose content is unchanged keep their time stamps).
Results: a table on stdout, and WORK/results.tsv.
EOF
}
here=$(cd "$(dirname "$0")/.." && pwd)
src=${ZR_MUTATE_SRC:-$here}
work=${ZR_MUTATE_DIR:-/tmp/zr-mutate}
list=$here/scripts/mutants.txt
ids=()
while [ $# -gt 0 ]; do
  case $1 in
    --src) src=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --list) list=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    -*) usage >&2; exit 2 ;;
    *) ids+=("$1"); shift ;;
  esac
done
src=$(cd "$src" && pwd)
list=$(cd "$(dirname "$list")" && pwd)/$(basename "$list")
case $(cd "$work" 2>/dev/null && pwd)/ in "$src"/*) echo "mutate: the scratch copy must lie outside $src" >&2; exit 2 ;; esac
export HOME=${HOME:-/root}
started=$(date +%s)

# The scratch copy, and its two build trees inside it as in a checkout, so
# that ccache hits what the checkouts built.
mkdir -p "$work/src"
python3 "$here/scripts/mutate.py" sync "$src" "$work/src"
scratch=$work/src
export CCACHE_BASEDIR=$scratch CCACHE_NOHASHDIR=1
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
trees=$(python3 "$here/scripts/mutate.py" trees "$list" "${ids[@]}")
for dir in $trees; do
  toolchain=()
  [ "$dir" = x64 ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$scratch/cmake/mingw-x86_64.cmake")
  cmake -S "$scratch" -B "$scratch/build/$dir" -G Ninja "${launcher[@]}" "${toolchain[@]}" >/dev/null
  echo "mutate: building $dir (unmutated)"
  if ! cmake --build "$scratch/build/$dir" -- -j"$(nproc)" >"$work/build-$dir.log" 2>&1; then
    grep -v '^\[' "$work/build-$dir.log" | tail -n 40
    echo "mutate: the unmutated $dir tree does not build" >&2
    exit 1
  fi
done
echo "mutate: set-up took $(($(date +%s) - started)) s"

case " $trees " in *" x64 "*)
  source "$scratch/scripts/wine-env.sh"
  trap wine_down EXIT
  wine_up "$scratch/build/x64/tests/wine/keepalive.exe" ;;
esac
status=0
python3 "$here/scripts/mutate.py" run "$list" "$scratch" "$work/results.tsv" "${ids[@]}" || status=$?
echo "mutate: whole run took $(($(date +%s) - started)) s"
exit $status
