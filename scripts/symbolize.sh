#!/usr/bin/env bash
# Turns the stack-trace frames of a process log into function, source file and
# line, with the debug files the build leaves beside each binary
# (<binary>.debug). The shipped binaries carry no symbols: under Wine a trace
# gives a frame of ours by its address alone, on Windows by the nearest export
# and the distance from it. This script prints every line of the log and adds,
# after each such frame, " => function at file:line" (inlined calls joined by
# " inlined into ").
#   scripts/symbolize.sh [-d DIR]... LOGFILE      (LOGFILE "-": standard input)
#   DIR: where the .debug files are looked for, recursively (default: this
#        tree's build/x64, then build/i686; name one to pick an architecture)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dirs=()
while getopts d: opt; do
  case $opt in
    d) dirs+=("$OPTARG") ;;
    *) echo "usage: $0 [-d DIR]... LOGFILE" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || { echo "usage: $0 [-d DIR]... LOGFILE" >&2; exit 2; }
log=$1
[ ${#dirs[@]} -gt 0 ] || dirs=("${ZR_BUILD_DIR:-$root/build}/x64" "${ZR_BUILD_DIR:-$root/build}/i686")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
declare -A debug_files=()  # lower-case binary name -> its .debug files
while IFS= read -r f; do
  name=$(basename "$f" .debug)
  debug_files[${name,,}]+="$f"$'\n'
done < <(find "${dirs[@]}" -name '*.debug' -type f 2>/dev/null | grep -v '/installer/' || true)

tool() { # debug file, tool name (nm, addr2line, objdump): the matching binutils
  case $(x86_64-w64-mingw32-objdump -f "$1") in
    *x86-64*) echo "x86_64-w64-mingw32-$2" ;;
    *) echo "i686-w64-mingw32-$2" ;;
  esac
}

# One symbol table and image range per debug file, read once.
symbols() { # debug file -> path of "name address" lines
  local out
  out="$work/$(echo "$1" | md5sum | cut -c1-16)"
  if [ ! -e "$out.sym" ]; then
    "$(tool "$1" nm)" --defined-only "$1" | awk '{print $3, $1}' >"$out.sym"
    "$(tool "$1" objdump)" -p "$1" | awk '$1 == "ImageBase" {b = $2} $1 == "SizeOfImage" {s = $2}
      END {print b, s}' >"$out.range"
  fi
  echo "$out"
}

# The symbol's address in a debug file. A trace from Windows names a frame by
# the nearest export; 32-bit names carry a leading underscore in the symbol
# table, exported stdcall functions their "@bytes" too.
symbol_address() { # debug file, name as the trace shows it
  local table
  table=$(symbols "$1").sym
  awk -v name="$2" '
    $1 == name { print $2; found = 1; exit }
    $1 == "_" name { decorated = $2 }
    index($1, "_" name "@") == 1 && substr($1, length(name) + 3) ~ /^[0-9]+$/ { decorated = $2 }
    END { if (!found && decorated != "") print decorated }' "$table"
}

in_image() { # debug file, hex address
  local base size
  read -r base size <"$(symbols "$1").range"
  (( 0x$2 >= 0x$base && 0x$2 < 0x$base + 0x$size ))
}

describe() { # debug file, hex address of the call site
  local text="" fn loc
  while IFS= read -r fn && IFS= read -r loc; do
    loc=${loc% (discriminator*}
    # 32-bit names come back mangled, without their underscores, stdcall ones
    # with their "@bytes".
    if [[ ${fn%@[0-9]*} =~ ^_*(Z[A-Z].*)$ ]]; then fn=$(c++filt "_${BASH_REMATCH[1]}"); fi
    local file=${loc%:*} line=${loc##*:}
    [ "$file" = "??" ] || file=$(realpath -m --relative-base="$root" "$file")
    text+="${text:+ inlined into }$fn at $file:$line"
  done < <("$(tool "$1" addr2line)" -f -C -i -e "$1" "$2")
  echo "$text"
}

# A frame without a source line: "<module>[!<base>] : <symbol or 0xaddress> + 0x<n>".
frame='([^ 	]+\.(dll|exe|DLL|EXE))(!([0-9a-f]+))? : ([^ :]+) \+ 0x([0-9A-Fa-f]+)$'
while IFS= read -r line || [ -n "$line" ]; do
  line=${line%$'\r'}
  echo -n "$line"
  if [[ $line =~ $frame ]]; then
    module=${BASH_REMATCH[1]} base=${BASH_REMATCH[4]} what=${BASH_REMATCH[5]} n=${BASH_REMATCH[6]}
    site=""
    while IFS= read -r f; do
      [ -n "$f" ] || continue
      if [[ $what =~ ^0x([0-9A-Fa-f]+)$ ]]; then
        # An address: relative to where the module was loaded when the trace
        # names its base, else the module is taken to sit at its own base.
        pc=$((0x${BASH_REMATCH[1]}))
        read -r image _ <"$(symbols "$f").range"
        [ -z "$base" ] || pc=$((pc - 0x$base + 0x$image))
        candidate=$(printf '%x' $((pc - 1)))
        in_image "$f" "$candidate" || continue
      else
        address=$(symbol_address "$f" "$what")
        [ -n "$address" ] || continue
        # The distance counts from the return address: the call is one byte back.
        candidate=$(printf '%x' $((0x$address + 0x$n - 1)))
      fi
      site=$candidate
      break
    done <<<"${debug_files[${module,,}]:-}"
    [ -z "$site" ] || echo -n " => $(describe "$f" "$site")"
  fi
  echo
done < <(if [ "$log" = - ]; then cat; else cat -- "$log"; fi)
