#!/usr/bin/env bash
# The library as it ships, its .debug file left behind: lean, and the trace of
# an error it returns still leads to our functions, files and lines.
#   lean_trace_test.sh PROBE.exe BUILT.dll WORKDIR   (under Wine)
set -euo pipefail
probe=$1 built=$2 work=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }

rm -rf "$work" && mkdir -p "$work/ship"
cp "$built" "$work/ship/"
dll=$work/ship/$(basename "$built")
objdump=i686-w64-mingw32-objdump
[[ $(x86_64-w64-mingw32-objdump -f "$dll") != *x86-64* ]] || objdump=x86_64-w64-mingw32-objdump
size=$(stat -c %s "$dll")
echo "$(basename "$dll"): $size bytes, debug file $(stat -c %s "$built.debug") bytes"
[ "$size" -le $((3 * 1024 * 1024)) ] || fail "more than 3 MiB"
sections=$("$objdump" -h "$dll")
! grep -q ' \.debug_' <<<"$sections" || fail "debug sections left: $(grep ' \.debug_' <<<"$sections")"
[ "$("$objdump" -t "$dll" | grep -c '_ZN')" -eq 0 ] || fail "symbols of our code left"
grep -q ' \.gnu_debuglink ' <<<"$sections" && [ "$(strings -a "$dll" | grep -cxF "$(basename "$built").debug")" -eq 1 ] ||
  fail "no link to the .debug file"

wine "$probe" "Z:$dll" | tr -d '\r' >"$work/trace.txt" || fail "the probe: exit $?"
cat "$work/trace.txt"
grep -q "^$(basename "$dll") : 0x" "$work/trace.txt" || fail "no frame of the library by address"

bash "$root/scripts/symbolize.sh" -d "$(dirname "$built")" "$work/trace.txt" >"$work/symbolized.txt"
cat "$work/symbolized.txt"
# Thrown in the plug-in's Initialize, through the support library's throw.
for expected in ' => vpk::throw_hresult\(long, .* at [^ ]*vpk/com_exception\.cpp:[0-9]+$' \
                ' => CZorvanRankPluginImpl::Initialize\(IPlugin_body_, HWND__\*, IPluginSite\*\) at [^ ]*plugin/CZorvanRankPluginImpl\.cpp:[0-9]+$'; do
  grep -Eq -- "$expected" "$work/symbolized.txt" || fail "not in the symbolized trace: $expected"
done
frames=$(grep -c "^$(basename "$dll") : " "$work/symbolized.txt")
named=$(grep -Ec "^$(basename "$dll") : .* => .* at [^ ]+\.(cpp|h):[0-9]+$" "$work/symbolized.txt" || true)
[ "$frames" -eq "$named" ] || fail "$named of $frames frames of the library named"
echo "lean_trace_test: $frames frames of the library, all named"
