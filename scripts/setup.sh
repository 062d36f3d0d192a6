#!/usr/bin/env bash
# Installs what building and testing need, if it is missing (Debian, as root or with sudo).
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev python3
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 xvfb xdotool imagemagick)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
