#!/usr/bin/env bash
# Fails when a product file includes from a layer above its own. The layers,
# lowest first; a layer includes its own headers and those of lower layers:
#
#   vpk  regex   side by side: neither includes the other
#   settings
#   rpc
#   ui
#   plugin
#   server
#
# Besides, every layer but the matcher (regex: the language and nothing else)
# may include the ATL it is built against (platform/atl) and the process log's
# interface (platform/processlog/include); the plug-in and the server the
# toolbar's interface (plugin/host). Nothing else: no stand-in's
# implementation, no test, no "..".
#
# Each #include is looked up the way the compilers would find it: beside the
# including file (quoted only), then from the top of the tree, then in the
# interface folders above. A header made at build time counts as its template
# (name.in) or its IDL (name.idl). A quoted include found nowhere fails too:
# the check cannot tell its layer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

layers=(vpk regex settings rpc ui plugin server)
interfaces=(platform/atl platform/processlog/include plugin/host)

# unit_of <file>: sets unit to what the file belongs to: a layer, an
# interface, or "other". (Variables, not output: no subshell per include.)
unit_of() {
  case $1 in
    plugin/host/*) unit=host ;;
    platform/atl/*) unit=atl ;;
    platform/processlog/include/*) unit=processlog ;;
    vpk/* | regex/* | settings/* | rpc/* | ui/* | plugin/* | server/*) unit=${1%%/*} ;;
    *) unit=other ;;
  esac
}

declare -A level=([vpk]=0 [regex]=0 [settings]=1 [rpc]=2 [ui]=3 [plugin]=4 [server]=5)

# allowed <from layer> <to unit>
allowed() {
  local from=$1 to=$2
  [ "$from" = "$to" ] && return 0
  case $to in
    atl | processlog) [ "$from" != regex ] ;;
    host) [ "$from" = plugin ] || [ "$from" = server ] ;;
    other) return 1 ;;
    *) [ "${level[$to]}" -lt "${level[$from]}" ] ;;
  esac
}

# find_in <dir> <name>: sets found to the file of the tree that dir/name
# stands for; fails when there is none.
find_in() {
  local path=$1/$2
  path=${path#./}
  if [ -f "$path" ]; then found=$path
  elif [ -f "$path.in" ]; then found=$path.in
  elif [[ $path == *.h && -f ${path%.h}.idl ]]; then found=${path%.h}.idl
  else return 1
  fi
}

# Tracked and new files alike; a deleted one that is still tracked is left out.
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- "${layers[@]}" |
  grep -E '\.(h|cpp|c|rc|in)$' | grep -v '^plugin/host/' | sort -u | while read -r f; do [ -f "$f" ] && echo "$f"; done)
include_line='^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"])([^>"]+)[>"]'
status=0 count=0
while IFS=: read -r file line text; do
  [[ $text =~ $include_line ]] || continue
  quote=${BASH_REMATCH[1]} name=${BASH_REMATCH[2]}
  count=$((count + 1))
  unit_of "$file"
  from=$unit
  if [[ $name == ../* || $name == */../* ]]; then
    echo "layers: $file:$line: #include \"$name\" reaches around the include path"
    status=1; continue
  fi
  dirs=(. "${interfaces[@]}")
  [ "$quote" = '"' ] && dirs=("${file%/*}" "${dirs[@]}")
  found=
  for dir in "${dirs[@]}"; do
    find_in "$dir" "$name" && break
  done
  if [ -z "$found" ]; then
    [ "$quote" = '<' ] && continue  # a system header
    echo "layers: $file:$line: \"$name\" is not where the product's include path looks; cannot tell its layer"
    status=1; continue
  fi
  unit_of "$found"
  if ! allowed "$from" "$unit"; then
    [ "$unit" = other ] && unit="not part of the product or its interfaces"
    echo "layers: $file:$line: $from includes $found ($unit)"
    status=1
  fi
done < <(grep -Hn '^[[:space:]]*#[[:space:]]*include' "${files[@]}" || true)

# A check that sees nothing must not pass.
if [ "${#files[@]}" -eq 0 ] || [ "$count" -eq 0 ]; then
  echo "layers: no product files or includes found under ${layers[*]}"
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "layers: the product includes only from its own layer and those below it (see scripts/check-layers.sh)"
  exit 1
fi
echo "layers: $count includes in ${#files[@]} product files, none from a higher layer"
