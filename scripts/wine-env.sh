# Sourced by the test and demo scripts: a private Wine prefix with its own
# Xvfb display and one wineserver kept alive for the whole run.
#   wine_up <keepalive.exe>   wine_down   wine32_installed   wine32_problem
# Wine's background processes inherit the streams of whoever starts them first;
# they are started here with every stream on /dev/null, or CTest would wait on them.

wine_up() {
  local keepalive=$1
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/zorvan-wine.XXXXXX)
  # Debian's `wine` (and wineboot, regsvr32... through `wine-stable`) prefers
  # the 32-bit loader whenever wine32 is installed, even where the kernel
  # cannot execute it; then nothing would start, 64-bit programs included.
  # The 64-bit loader starts them all but the 32-bit ones.
  if wine32_installed && ! /usr/lib/wine/wine --version </dev/null >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
    mkdir -p "$WINEPREFIX/.loader"
    local name
    for name in wine wine-stable; do
      printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$WINEPREFIX/.loader/$name"
      chmod +x "$WINEPREFIX/.loader/$name"
    done
    ZR_PATH_BEFORE=$PATH
    export PATH="$WINEPREFIX/.loader:$PATH"
  fi
  local n
  for n in $(seq 91 199); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  ZR_XVFB_PID=$!
  export DISPLAY=":$n"
  local i
  for i in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
  # Without a window manager, Wine waits 2 s for one at every hide or destroy
  # of a top-level window; unmanaged windows are also drawn with their caption.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  wine "$keepalive" </dev/null >/dev/null 2>&1 &
  ZR_KEEPALIVE_PID=$!
  # The keepalive program says it is up by creating this file.
  for i in $(seq 100); do [ -e "$WINEPREFIX/keepalive.up" ] && break; sleep 0.1; done
  echo "wine: prefix $WINEPREFIX, display $DISPLAY"
}

wine_down() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  # Runs from EXIT traps of `set -e` scripts: nothing here may fail.
  if [ -n "${ZR_KEEPALIVE_PID:-}" ]; then kill "$ZR_KEEPALIVE_PID" 2>/dev/null || true; fi
  if [ -n "${ZR_XVFB_PID:-}" ]; then kill "$ZR_XVFB_PID" 2>/dev/null || true; fi
  case "$WINEPREFIX" in /tmp/zorvan-wine.*) rm -rf "$WINEPREFIX" || true ;; esac
  if [ -n "${ZR_PATH_BEFORE:-}" ]; then export PATH=$ZR_PATH_BEFORE; fi
  unset WINEPREFIX ZR_KEEPALIVE_PID ZR_XVFB_PID ZR_PATH_BEFORE
  return 0
}

wine32_installed() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"
}

# Why 32-bit programs cannot run under Wine here, in a few words; nothing when
# they can (wine32 installed and its loader starts).
wine32_problem() {
  if ! wine32_installed; then
    echo "wine32:i386 is not installed"
    return 0
  fi
  local out
  if ! out=$(/usr/lib/wine/wine --version 2>&1 </dev/null); then
    case "$out" in
      *"Exec format error"*) echo "this kernel does not execute 32-bit programs (Exec format error from /usr/lib/wine/wine)" ;;
      *) echo "the 32-bit Wine loader does not start: $(printf '%s' "$out" | tail -n1)" ;;
    esac
  fi
  return 0
}
