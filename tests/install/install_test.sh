#!/usr/bin/env bash
# The installed tree as a user gets it: `cmake --install` into a scratch
# prefix, which is then moved elsewhere (the tree must not know where it
# was installed), and from there
#   - the layout: library and soname links, headers, licence, manual page,
#     CMake and pkg-config files, the command line's relative run path;
#   - placidor --version names the libraries it really runs with, and the
#     installed placidor stabilises a clip it generates;
#   - a C host built with find_package(Placidor) and one built with
#     pkg-config give the same results as the build tree's own host.
#
#   install_test.sh BUILD SOURCE WORK VERSION CMAKE CC
set -euo pipefail
build=$1 source=$2 work=$3 version=$4 cmake=$5 cc=$6

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }

rm -rf "$work"
mkdir -p "$work"
staged=$work/staged prefix=$work/moved/to/here
"$cmake" --install "$build" --prefix "$staged" >"$work/install.log"
mkdir -p "$(dirname "$prefix")"
mv "$staged" "$prefix"
# No installed file may name the folder it was installed into.
if grep -rlF "$staged" "$prefix" >"$work/absolute.txt"; then
  fail "files name the install prefix: $(tr '\n' ' ' <"$work/absolute.txt")"
fi

# ---- layout
pc=$(find "$prefix" -name placidor.pc -path '*/pkgconfig/*' | head -n 1)
libdir=${pc#"$prefix"/}
libdir=${libdir%/pkgconfig/placidor.pc}
[ -n "$pc" ] || { fail "no placidor.pc"; libdir=lib; }
lib=$prefix/$libdir
check "library $lib/libplacidor.so.$version" test -f "$lib/libplacidor.so.$version" -a ! -L "$lib/libplacidor.so.$version"
check "soname link" test "$(readlink "$lib/libplacidor.so.0")" = "libplacidor.so.$version"
check "development link" test "$(readlink "$lib/libplacidor.so")" = "libplacidor.so.0"
soname=$(readelf -d "$lib/libplacidor.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
check "SONAME is '$soname'" test "$soname" = libplacidor.so.0
for h in placidor.h placidor_escape.h; do
  check "installed $h equals the source's" cmp -s "$prefix/include/$h" "$source/include/$h"
done
check "licence" grep -q "Permission is hereby granted" "$prefix/share/doc/placidor/copyright"
for f in PlacidorConfig.cmake PlacidorConfigVersion.cmake PlacidorTargets.cmake; do
  check "$f" test -f "$lib/cmake/Placidor/$f"
done
runpath=$(readelf -d "$prefix/bin/placidor" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
check "placidor's run path is '$runpath'" test "$runpath" = "\$ORIGIN/../$libdir"

# The manual page is --help: every long option of one is in the other.
man=$prefix/share/man/man1/placidor.1.gz
if [ -f "$man" ]; then
  zcat "$man" | sed 's/\\-/-/g; s/\\f[BIRP]//g' >"$work/man.txt"
  "$prefix/bin/placidor" --help >"$work/help.txt"
  for option in $(grep -o -- '--[a-z][a-z-]*' "$work/help.txt" | sort -u); do
    grep -qe "$option" "$work/man.txt" || fail "the manual page lacks $option"
  done
  check "manual page title" grep -q '^\.TH PLACIDOR "1"' "$work/man.txt"
else
  fail "no manual page $man"
fi

# ---- the installed command line, with nothing on the library path
run() { env -u LD_LIBRARY_PATH "$@"; }
run "$prefix/bin/placidor" --version >"$work/version.txt"
cat "$work/version.txt"
line() { grep -m1 "$1" "$work/version.txt" || true; }
check "first line 'placidor $version'" test "$(head -n 1 "$work/version.txt")" = "placidor $version"
check "engine line: $(line '^engine:')" test "$(line '^engine:')" = \
  "engine: libplacidor $version ($(realpath "$lib/libplacidor.so.$version"))"
for l in libavformat libavcodec libavutil libswscale; do
  want=$(pkg-config --modversion "$l")
  grep -q "^FFmpeg .*[ :,]$l $want\(,\|$\)" "$work/version.txt" || fail "$l $want is not reported"
done
check "zimg line" test "$(line '^zimg ')" = "zimg $(pkg-config --modversion zimg)"
x264=$(run ldd "$prefix/bin/placidor" | sed -n 's/^[[:space:]]*libx264\.so\.\([0-9]*\) => .*/\1/p')
check "x264 core ${x264:-?} in '$(line '^x264')'" grep -q "^x264: core ${x264:-none} (" "$work/version.txt"

run "$prefix/bin/placidor" --make-demo "$work/shaky.mp4" -q
run "$prefix/bin/placidor" "$work/shaky.mp4" "$work/steady.mp4" -q
shake() { run "$prefix/bin/placidor" --measure "$1" -q | sed -n 's/.* shake \([0-9.]*\) px RMS.*/\1/p'; }
before=$(shake "$work/shaky.mp4") after=$(shake "$work/steady.mp4")
echo "shake of the demo clip: ${before:-?} px RMS before, ${after:-?} after"
check "stabilised: ${after:-?} < ${before:-?} / 4" \
  awk -v b="${before:-0}" -v a="${after:-1e9}" 'BEGIN { exit !(b > 1 && a < b / 4) }'

# ---- C hosts: find_package(Placidor), then pkg-config
# Which libplacidor a program loads, symbolic links resolved.
loads() { realpath "$("$@" | sed -n 's/^[[:space:]]*libplacidor\.so\.0 => \(.*\) (0x.*/\1/p')"; }
installed=$(realpath "$lib/libplacidor.so.0")
dump=$build/dll_host.native.dump
check "reference results $dump" test -f "$dump"
consumer=$source/tests/install/consumer
"$cmake" -S "$consumer" -B "$work/cmake-host" -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DDLL_HOST_SOURCE="$source/tests/win32/dll_host.c" >"$work/cmake-host.log"
check "find_package found $(grep -o 'Placidor .*' "$work/cmake-host.log" | head -n 1)" \
  grep -qxF -- "-- Placidor $version: $(realpath "$lib")/libplacidor.so.$version" "$work/cmake-host.log"
"$cmake" --build "$work/cmake-host" >"$work/cmake-host-build.log"
for host in dll_host escape_host; do
  check "$host links the installed library" test "$(loads run ldd "$work/cmake-host/$host")" = "$installed"
done
check "find_package host: results as the build tree's" run "$work/cmake-host/dll_host" --compare "$dump"
check "find_package host: Escape latch" run "$work/cmake-host/escape_host"
# The version file refuses a version the library does not provide.
if "$cmake" -S "$consumer" -B "$work/cmake-host-too-new" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DPLACIDOR_WANTED=$(( ${version%%.*} + 1 )).0 \
    -DDLL_HOST_SOURCE="$source/tests/win32/dll_host.c" >"$work/too-new.log" 2>&1; then
  fail "find_package accepted a newer major version"
fi
check "the refusal names the version" grep -q "version: $version" "$work/too-new.log"

export PKG_CONFIG_PATH=$lib/pkgconfig
check "pkg-config version" test "$(pkg-config --modversion placidor)" = "$version"
check "pkg-config prefix" test "$(realpath "$(pkg-config --variable=prefix placidor)")" = "$(realpath "$prefix")"
flags=$(pkg-config --cflags --libs placidor)
echo "pkg-config --cflags --libs placidor: $flags"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c11 -O2 -o "$work/pc_dll_host" "$source/tests/win32/dll_host.c" $flags -lm
# shellcheck disable=SC2086
"$cc" -std=c11 -O2 -o "$work/pc_escape_host" "$consumer/escape_host.c" $flags
pc_libdir=$(pkg-config --variable=libdir placidor)
check "pkg-config host: results as the build tree's" \
  env LD_LIBRARY_PATH="$pc_libdir" "$work/pc_dll_host" --compare "$dump"
check "pkg-config host: Escape latch" env LD_LIBRARY_PATH="$pc_libdir" "$work/pc_escape_host"
check "pkg-config host links the installed library" \
  test "$(loads env LD_LIBRARY_PATH="$pc_libdir" ldd "$work/pc_dll_host")" = "$installed"

if [ "$failures" -ne 0 ]; then
  echo "$failures install check(s) failed; files in $work" >&2
  exit 1
fi
rm -rf "$work"
echo "install test: all checks passed"
