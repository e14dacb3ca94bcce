#!/usr/bin/env bash
# Installs the Debian 12 packages that a build needs, only those missing.
# Usage: scripts/install-deps.sh GROUP...   (groups: base win32 win64 host fuzz)
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    base) packages+=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang-format) ;;
    win32) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest wine wine32:i386) ;;
    win64) packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest wine wine64) ;;
    host) packages+=(libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
                     libswresample-dev libzimg-dev ffmpeg
                     help2man dpkg-dev) ;;  # the manual page; the .deb (dpkg-shlibdeps)
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  $sudo dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
