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
# A mirror that is being synchronised can serve an index that does not match
# its release file ("File has unexpected size"), and apt-get update then fails
# for that one index. Try again a little later; after that, go on with the
# indexes that did download: whatever they cannot provide fails below.
updated=0
for attempt in 1 2 3; do
  if $sudo apt-get update -q; then updated=1; break; fi
  [ "$attempt" -lt 3 ] && sleep 10
done
if [ "$updated" -eq 0 ]; then
  echo "install-deps: some package indexes failed to download; installing from those that did" >&2
fi

install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"; }
install "${missing[@]}" && exit 0

# The 32-bit (i386) packages are the only optional ones: the tests that need
# them find them missing and report themselves skipped. Without a current
# i386 index they cannot match the versions of the 64-bit libraries already
# installed, so they are the usual reason for a failure here.
native=()
foreign=()
for p in "${missing[@]}"; do
  case "$p" in
    *:i386) foreign+=("$p") ;;
    *) native+=("$p") ;;
  esac
done
[ ${#foreign[@]} -gt 0 ] || exit 1
if [ ${#native[@]} -gt 0 ]; then
  install "${native[@]}" || exit 1
fi
echo "install-deps: the 32-bit packages could not be installed: ${foreign[*]};" \
     "what needs them will be skipped" >&2
exit 0
