#!/usr/bin/env bash
# The Debian package made by `cpack --preset deb`, inspected as dpkg sees
# it and unpacked into a scratch folder:
#   - control: name, version, architecture; its dependencies are the
#     runtime packages of the libraries the binaries load (dpkg-shlibdeps),
#     no development packages, not itself; a shlibs file for libplacidor
#     and ldconfig run by the maintainer scripts;
#   - contents: everything under /usr in Debian's places, owned by root;
#   - unpacked, the command line runs from where it lies, reports the
#     library beside it and stabilises a clip it generates.
#
#   check_deb.sh BUILD    (the build folder of the deb preset, after cpack)
set -euo pipefail
build=$1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/placidor_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "FAILED: no $deb (run cpack --preset deb first)" >&2; exit 1; }

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "Package: $(field Package)" test "$(field Package)" = placidor
check "Version: $(field Version)" test "$(field Version)" = "$version"
check "Architecture: $(field Architecture)" test "$(field Architecture)" = "$arch"
depends=$(field Depends)
# Package names alone, one a line (alternatives and versions dropped).
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/[[:space:]]//g' | sed '/^$/d' | sort -u)
[ -n "$names" ] || fail "no Depends"
for name in $names; do
  case $name in
    *-dev) fail "depends on a development package: $name" ;;
    placidor | libplacidor*) fail "depends on itself: $name" ;;
  esac
  apt-cache show "$name" >/dev/null 2>&1 || fail "depends on $name, which no package source offers"
done

dpkg-deb -e "$deb" "$work/control"
check "shlibs: $(cat "$work/control/shlibs" 2>/dev/null)" \
  grep -qx "libplacidor 0 placidor (>= $version)" "$work/control/shlibs"
check "ldconfig after installing and removing" \
  grep -q ldconfig "$work/control/postinst" "$work/control/postrm"

dpkg-deb -c "$deb" >"$work/contents.txt"
awk '{ print $6 }' "$work/contents.txt" | sed 's|/$||' >"$work/paths.txt"
lib=usr/lib/$triplet
for path in ./usr/bin/placidor ./$lib/libplacidor.so.$version ./$lib/libplacidor.so.0 ./$lib/libplacidor.so \
    ./usr/include/placidor.h ./usr/include/placidor_escape.h ./$lib/cmake/Placidor/PlacidorConfig.cmake \
    ./$lib/cmake/Placidor/PlacidorConfigVersion.cmake ./$lib/cmake/Placidor/PlacidorTargets.cmake \
    ./$lib/pkgconfig/placidor.pc ./usr/share/doc/placidor/copyright ./usr/share/man/man1/placidor.1.gz; do
  grep -qxF "$path" "$work/paths.txt" || fail "the package lacks $path"
done
grep -v -e '^\.$' -e '^\./usr$' -e '^\./usr/' "$work/paths.txt" >"$work/outside.txt" &&
  fail "files outside /usr: $(tr '\n' ' ' <"$work/outside.txt")"
awk '$2 != "root/root" { print $6 }' "$work/contents.txt" >"$work/owners.txt"
[ -s "$work/owners.txt" ] && fail "not owned by root: $(tr '\n' ' ' <"$work/owners.txt")"

# Unpacked anywhere, the command line finds its library beside it.
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
# Every library the command line needs directly is provided by one of the
# packages it depends on (or by the package itself).
for needed in $(readelf -d "$tree/usr/bin/placidor" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  [ "$needed" = libplacidor.so.0 ] && continue
  path=$(env -u LD_LIBRARY_PATH ldd "$tree/usr/bin/placidor" | sed -n "s|^[[:space:]]*$needed => \(/[^ ]*\) .*|\1|p")
  owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null | sed -n '1s/:.*//p' || true)
  [ -z "$owner" ] && owner=$(dpkg -S "$path" 2>/dev/null | sed -n '1s/:.*//p' || true)
  grep -qx "${owner:-?}" <<<"$names" || fail "$needed (${owner:-no package}) is not among the dependencies"
done
check "pkg-config file under /usr" grep -qx "prefix=/usr" "$tree/$lib/pkgconfig/placidor.pc"
env -u LD_LIBRARY_PATH "$tree/usr/bin/placidor" --version >"$work/version.txt"
cat "$work/version.txt"
check "engine beside the command line" grep -qxF \
  "engine: libplacidor $version ($(realpath "$tree/$lib/libplacidor.so.$version"))" "$work/version.txt"
env -u LD_LIBRARY_PATH "$tree/usr/bin/placidor" --make-demo "$work/shaky.mp4" -q
env -u LD_LIBRARY_PATH "$tree/usr/bin/placidor" "$work/shaky.mp4" "$work/steady.mp4" -q
check "a stabilised clip" test -s "$work/steady.mp4"

if [ "$failures" -ne 0 ]; then
  echo "$failures package check(s) failed" >&2
  exit 1
fi
echo "Debian package $deb: all checks passed (Depends: $depends)"
