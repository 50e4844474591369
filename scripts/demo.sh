#!/usr/bin/env bash
# The demo: sets up the machine, builds everything, then shows ZorvanRank.dll
# at work in the toolbar host under Wine: the setup package installed for all
# users with msiexec, a local rank service, a scripted browser session, the
# ranks the toolbar received, screenshots of the browser window, and the
# package removed again. Everything it starts it stops again; safe to run twice.
#   ZR_ARCH=i686 bash scripts/demo.sh   the 32-bit toolbar host and DLL
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
arch=${ZR_ARCH:-x64}
case "$arch" in
  x64) tree=$out/x64 view=/reg:64 ;;
  i686) tree=$out/i686 view=/reg:32 ;;
  *) echo "demo: ZR_ARCH is x64 or i686, not $arch" >&2; exit 2 ;;
esac
demo=$out/demo
address=127.0.0.77
clsid=$(sed -n 's/^#define ZORVANRANK_CLSID_TEXT L"\(.*\)"$/\1/p' "$out/x64/settings/include/settings/ZorvanRankIds.h")
version=$(sed -n 's/^#define ZORVANRANK_VERSION_TEXT "\([0-9.]*\) .*/\1/p' "$out/x64/server/ZorvanRankVersion.h")

package=$out/ZorvanRank-$version-x64.msi
processlog=$tree/platform/processlog/processlog.dll
host=$tree/toolbar/zorvantoolbar.exe
hosttlb=$tree/plugin/host/ZorvanToolbar.tlb
for f in "$package" "$processlog" "$host" "$hosttlb" "$out/x64/tests/wine/keepalive.exe"; do
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
wine_up "$out/x64/tests/wine/keepalive.exe"
# The 64-bit Wine loader does not pick up fonts-wine's TrueType fonts by
# itself; in the prefix's font folder it does. Marlett draws the caption
# buttons and the balloon's close button (without it: "0 1 r").
if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
else
  echo "note: fonts-wine is not installed: caption buttons draw as \"0 1 r\""
fi

# ZR_DEMO_DPI=144 shows everything at 150 % scaling: Wine takes the display's
# resolution from the prefix when a program starts.
if [ -n "${ZR_DEMO_DPI:-}" ]; then
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$ZR_DEMO_DPI" /f </dev/null >/dev/null
  echo "display resolution: $ZR_DEMO_DPI DPI"
fi

winpath() { echo "Z:$1" | tr / '\\'; }
step() { echo; echo "== $*"; }

# Where the 32-bit half of Wine cannot run, the package's 32-bit plug-in
# cannot be registered: the demo installs the 64-bit one alone and says so.
features=""
if ! timeout 60 wine "C:\\windows\\syswow64\\cmd.exe" /c exit 0 </dev/null >/dev/null 2>&1; then
  if [ "$arch" = i686 ]; then
    echo "demo: ZR_ARCH=i686 needs 32-bit Wine, and this machine does not run 32-bit programs" >&2
    exit 1
  fi
  features="ADDLOCAL=Plugin64AllUsers"
  echo "note: 32-bit programs do not run here: the package's 32-bit plug-in is left out ($features)"
fi

# Wine's registrar programs may wait forever on a broken library: every call
# has a time-out.
step "registering the process log and the toolbar's type library ($arch)"
if [ "$arch" = i686 ]; then regsvr32="C:\\windows\\syswow64\\regsvr32.exe"; else regsvr32=regsvr32; fi
timeout 60 wine "$regsvr32" /s "$(winpath "$processlog")" </dev/null
timeout 60 wine "$host" /regtlb "$(winpath "$hosttlb")" </dev/null | cat

step "msiexec /i $(basename "$package") ALLUSERS=1 /qn $features"
started=$(date +%s%N)
status=0
timeout 300 wine msiexec /i "$(winpath "$package")" ALLUSERS=1 /qn $features /l*v "$(winpath "$demo/install.log")" \
  </dev/null || status=$?
echo "msiexec exit status $status, $(( ($(date +%s%N) - started) / 1000000 )) ms"
if [ "$status" != 0 ]; then
  # The steps that failed (Windows ends them with return value 3, Wine with 0).
  grep -a 'Return value [03]\.' "$demo/install.log" | grep -v MigrateFeatureStates | sed 's/^/  /'
  exit 1
fi
echo "ZorvanRank.dll registered as $clsid:"
timeout 60 wine reg query "HKCR\\CLSID\\$clsid\\InprocServer32" $view </dev/null | tr -d '\r' | sed -n 's/^ \+/  /p'
timeout 60 wine reg query "HKCU\\Software\\Zorvanworks\\IE Toolbar\\Plugins\\$clsid" $view </dev/null |
  tr -d '\r' | sed -n 's/^ \+/  /p'

step "local rank service on $address:80"
timeout 60 wine reg add 'HKLM\SOFTWARE\Zorvanworks' /v HTTPRpcHost /t REG_SZ /d "$address" /f $view </dev/null >/dev/null
bash "$root/scripts/rank-service.sh" start "$address" "$demo/service" "$root/server/demo/ranks.csv"
echo "serving the ranks of $(grep -vc '^#\|^host,\|^$' "$root/server/demo/ranks.csv") hosts from server/demo/ranks.csv"

step "the toolbar host drives a browser through server/demo/navigation.txt"
cp "$root/server/demo/navigation.txt" "$demo/navigation.txt"
timeout 180 wine "$host" /script "$(winpath "$demo/navigation.txt")" "$clsid" </dev/null >"$demo/host.log" 2>&1 &
host_pid=$!
# Two screenshots of the browser window: soon after the first rank arrives,
# when the pane has painted for the first time (after a fresh installation
# the post-install balloon points at it then), and while the script holds the
# last page.
shoot() { # file
  local geometry
  geometry=$(xwininfo -name "Zorvan toolbar host - Internet Explorer" 2>/dev/null |
    awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} /Width:/ {w=$NF} /Height:/ {h=$NF}
         END {if (w) printf "%dx%d+%d+%d", w, h, x, y}')
  [ -n "$geometry" ] || return 1
  import -window root -crop "$geometry" +repage "$1"
}
shot="" first_shot="" no_rank_shot=""
for _ in $(seq 600); do
  if [ -z "$first_shot" ] && grep -qs ' SetValue ZorvanRank=' "$demo/host.log"; then
    sleep 1
    shoot "$demo/toolbar-first-rank.png" && first_shot=$demo/toolbar-first-rank.png
  fi
  # The site the service does not know: the pane says "No rank".
  if [ -z "$no_rank_shot" ] && grep -qs 'DocumentComplete top http://unknown' "$demo/host.log"; then
    sleep 1
    shoot "$demo/toolbar-no-rank.png" && no_rank_shot=$demo/toolbar-no-rank.png
  fi
  if grep -qs ' hold ' "$demo/host.log"; then
    sleep 1
    shoot "$demo/toolbar.png" && shot=$demo/toolbar.png
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
[ -n "$no_rank_shot" ] && echo "screenshot without a rank: $no_rank_shot"
[ -n "$shot" ] && echo "screenshot of the toolbar window: $shot"

step "msiexec /x $(basename "$package") /qn"
started=$(date +%s%N)
status=0
timeout 300 wine msiexec /x "$(winpath "$package")" /qn /l*v "$(winpath "$demo/remove.log")" </dev/null || status=$?
echo "msiexec exit status $status, $(( ($(date +%s%N) - started) / 1000000 )) ms"
if timeout 60 wine reg query "HKCR\\CLSID\\$clsid" $view </dev/null >/dev/null 2>&1; then
  echo "the class is still registered"; status=1
else
  echo "the class is no longer registered; the user id stays:"
  timeout 60 wine reg query 'HKCU\Software\Zorvanworks' /ve $view </dev/null | tr -d '\r' | sed -n 's/^ \+/  /p'
fi
echo "done; host exit status $host_status"
[ "$status" = 0 ] && [ "$host_status" = 0 ]
