#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12 (as root).
# Safe to run again: it does nothing when everything is there.
set -euo pipefail
packages=(
  cmake ninja-build ccache git python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine64 libwine-dev xvfb x11-apps imagemagick
  g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
  libpcre2-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
