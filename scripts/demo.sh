#!/usr/bin/env bash
# The demo: sets up the machine, builds everything, then shows ZorvanRank.dll
# at work in the toolbar host under Wine: registration, a local rank service,
# a scripted browser session, the ranks the toolbar received and a screenshot.
# Everything it starts it stops again; safe to run twice.
set -euo pipefail
# Wine and ccache keep their state under HOME; CI may run without one.
export HOME=${HOME:-/root}
root=$(cd "$(dirname "$0")/.." && pwd)
# ZR_DEMO_NO_BUILD=1 runs the demo on what is already built.
if [ -z "${ZR_DEMO_NO_BUILD:-}" ]; then
  bash "$root/scripts/setup.sh"
  bash "$root/scripts/build.sh"
fi
out=${ZR_BUILD_DIR:-$root/build}
x64=$out/x64
demo=$out/demo
address=127.0.0.77
clsid=$(sed -n 's/^#define ZORVANRANK_CLSID_TEXT L"\(.*\)"$/\1/p' "$x64/server/ServerIds.h")

dll=$x64/server/ZorvanRank.dll
processlog=$x64/platform/processlog/processlog.dll
host=$x64/toolbar/zorvantoolbar.exe
hosttlb=$x64/plugin/host/ZorvanToolbar.tlb
for f in "$dll" "$processlog" "$host" "$hosttlb"; do
  [ -f "$f" ] || { echo "demo: $f was not built" >&2; exit 1; }
done

rm -rf "$demo"
mkdir -p "$demo"
source "$root/scripts/wine-env.sh"
cleanup() {
  bash "$root/scripts/rank-service.sh" stop "$demo/service" || true
  wine_down
}
trap cleanup EXIT
wine_up "$x64/tests/wine/keepalive.exe"

winpath() { echo "Z:$1" | tr / '\\'; }
step() { echo; echo "== $*"; }

# Wine's registrar programs may wait forever on a broken library: every call
# has a time-out.
step "registering the process log, the toolbar's type library and ZorvanRank.dll"
timeout 60 wine regsvr32 /s "$(winpath "$processlog")" </dev/null
timeout 60 wine "$host" /regtlb "$(winpath "$hosttlb")" </dev/null | cat
timeout 60 wine regsvr32 /s "$(winpath "$dll")" </dev/null
echo "ZorvanRank.dll registered as $clsid:"
timeout 60 wine reg query "HKCR\\CLSID\\$clsid\\InprocServer32" </dev/null | tr -d '\r' | sed -n 's/^ \+/  /p'
timeout 60 wine reg query "HKCU\\Software\\Zorvanworks\\IE Toolbar\\Plugins\\$clsid" </dev/null |
  tr -d '\r' | sed -n 's/^ \+/  /p'

step "local rank service on $address:80"
timeout 60 wine reg add 'HKLM\SOFTWARE\Zorvanworks' /v HTTPRpcHost /t REG_SZ /d "$address" /f </dev/null >/dev/null
bash "$root/scripts/rank-service.sh" start "$address" "$demo/service" "$root/server/demo/ranks.csv"
echo "serving the ranks of $(grep -vc '^#\|^host,\|^$' "$root/server/demo/ranks.csv") hosts from server/demo/ranks.csv"

step "the toolbar host drives a browser through server/demo/navigation.txt"
cp "$root/server/demo/navigation.txt" "$demo/navigation.txt"
timeout 180 wine "$host" /script "$(winpath "$demo/navigation.txt")" "$clsid" </dev/null >"$demo/host.log" 2>&1 &
host_pid=$!
# Two screenshots: soon after the first rank arrives, when the pane has
# painted for the first time (after a fresh registration the post-install
# balloon points at it then), and while the script holds the last page.
shot="" first_shot=""
for _ in $(seq 600); do
  if [ -z "$first_shot" ] && grep -qs ' SetValue ZorvanRank=' "$demo/host.log"; then
    sleep 1
    import -window root "$demo/toolbar-first-rank.png" && first_shot=$demo/toolbar-first-rank.png
  fi
  if grep -qs ' hold ' "$demo/host.log"; then
    sleep 1
    import -window root "$demo/toolbar.png" && shot=$demo/toolbar.png
    break
  fi
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
host_status=0
wait "$host_pid" || host_status=$?
tr -d '\r' <"$demo/host.log" | sed 's/^/  /'

step "what the toolbar received"
if grep -q 'SetValue ZorvanRank=' "$demo/host.log"; then
  tr -d '\r' <"$demo/host.log" | sed -n 's/^[0-9:.]* SetValue \(ZorvanRank[A-Za-z]*=.*\)/  \1/p'
else
  echo "  no ranks (host exit status $host_status); the rank service's log:"
  sed 's/^/  /' "$demo/service/log" | tail -n 20
fi
[ -n "$first_shot" ] && echo "screenshot at the first rank: $first_shot"
[ -n "$shot" ] && echo "screenshot of the toolbar window: $shot"

step "unregistering"
timeout 60 wine regsvr32 /u /s "$(winpath "$dll")" </dev/null
echo "done; host exit status $host_status"
