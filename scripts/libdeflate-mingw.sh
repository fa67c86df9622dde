#!/usr/bin/env bash
# Builds libdeflate for 64-bit Windows from Debian's own source package, the
# same version as the Linux build's libdeflate-dev, so both builds inflate,
# deflate and fit entries alike. Debian packages no MinGW libdeflate; its
# source package is fetched by apt, which checks it against the signed index
# of the machine's own Debian sources, through a private sources list and
# private lists: the machine's apt configuration is left as it is.
#
#   scripts/libdeflate-mingw.sh DIR   -> prints the prefix under DIR holding
#                                        lib/libdeflate.a, include/libdeflate.h
#                                        and a CMake package file
# A prefix already built from the same version and compiler is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages libdeflate-dev dpkg-dev xz-utils g++-mingw-w64-x86-64-posix >&2
cc=x86_64-w64-mingw32-gcc-posix
version=$(dpkg-query -W -f='${source:Version}' libdeflate-dev)
key=$({
  echo "$version"
  $cc --version | head -n 1
  cat "$0"
} | sha256sum | cut -c1-16)
root="$(mkdir -p "$1" && cd "$1" && pwd)"
prefix="$root/libdeflate-$version-$key"
if [ -f "$prefix/lib/cmake/libdeflate/libdeflateConfig.cmake" ]; then
  echo "$prefix"
  exit 0
fi

work="$(mktemp -d "$root/libdeflate-build.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# deb-src entries for the suites the machine's deb entries name (deb822 files
# and one-line lists alike), signed by the same keyrings.
mkdir -p "$work/apt/parts" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
: >"$work/apt/none.list"
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] && sed 's/^Types:.*\bdeb\b.*$/Types: deb-src/' "$file" >"$work/apt/parts/$(basename "$file")"
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] && sed -n 's/^deb \(.*\)$/deb-src \1/p' "$file" >"$work/apt/parts/$(basename "$file").list"
done
apt=(-q -o Dir::Etc::SourceList="$work/apt/none.list" -o Dir::Etc::SourceParts="$work/apt/parts"
  -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache" -o APT::Sandbox::User="$(id -un)")
apt-get "${apt[@]}" update >/dev/null
(cd "$work" && apt-get "${apt[@]}" source --download-only "libdeflate=$version" >/dev/null)
dpkg-source -x "$work"/libdeflate_*.dsc "$work/source" >/dev/null 2>&1
# The Makefile derives the archiver from the compiler's name, which the
# "-posix" suffix defeats; the static library is all the tool needs.
make -C "$work/source" -j"$(nproc)" CC="$cc" AR=x86_64-w64-mingw32-ar libdeflatestatic.lib >/dev/null

# Put in place under a name of its own, then renamed: a run beside this one
# never sees half a prefix.
staged="$work/prefix"
mkdir -p "$staged/lib/cmake/libdeflate" "$staged/include"
cp "$work/source/libdeflatestatic.lib" "$staged/lib/libdeflate.a"
cp "$work/source/libdeflate.h" "$staged/include/"
cat >"$staged/lib/cmake/libdeflate/libdeflateConfig.cmake" <<EOF
# libdeflate $version from Debian's source package, built for MinGW-w64.
if(NOT TARGET libdeflate::libdeflate_static)
  add_library(libdeflate::libdeflate_static STATIC IMPORTED)
  set_target_properties(libdeflate::libdeflate_static PROPERTIES
    IMPORTED_LOCATION "\${CMAKE_CURRENT_LIST_DIR}/../../libdeflate.a"
    INTERFACE_INCLUDE_DIRECTORIES "\${CMAKE_CURRENT_LIST_DIR}/../../../include")
endif()
EOF
mv -T "$staged" "$prefix" 2>/dev/null || true  # another run may have been first
test -f "$prefix/lib/cmake/libdeflate/libdeflateConfig.cmake"
echo "$prefix"
