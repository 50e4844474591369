#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12 (as root).
# Safe to run again: it does nothing when everything is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(
  cmake ninja-build ccache git python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine64 libwine-dev xvfb x11-apps imagemagick fonts-wine wixl
  g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
  libpcre2-dev clang-format
  redis-server redis-tools python3-redis python3-hiredis
  python3-prometheus-client python3-uvloop nginx-light wrk
)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  # Packaged daemons must not start: nginx would hold port 80 on every
  # address, redis 6379. Tests and benchmarks start their own.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# 32-bit Wine for the 32-bit build's tests (WoW64). Its archive has been
# unreachable on some days: then the 64-bit suite runs alone, and the test
# run says so at its end.
if ! installed wine32:i386; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  echo "setup: installing wine32:i386"
  log=$(mktemp)
  if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends wine32:i386; } >"$log" 2>&1; then
    echo "setup: wine32:i386 could not be installed ($(grep -m1 -E '^E:' "$log" || tail -n1 "$log")); the 32-bit suite will not run"
  fi
  rm -f "$log"
fi
source "$root/scripts/wine-env.sh"
problem=$(wine32_problem)
case "$problem" in
  "") ;;
  *"does not execute 32-bit"*) echo "setup: $problem; the 32-bit suite runs in a qemu VM (scripts/vm)" ;;
  *) echo "setup: the 32-bit suite will not run: $problem" ;;
esac
