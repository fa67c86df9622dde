#!/usr/bin/env bash
# Builds linkdata.exe for 64-bit Windows on Debian with MinGW-w64, linked
# statically: the one file runs on any Windows without DLLs beside it.
#
#   ./build-windows.sh                    -> build-win/release/linkdata.exe and
#                                            build-win/release/linkdata-<version>-win64.zip
#   ./build-windows.sh DIR [cmake options] (used by scripts/test-windows.sh)
set -euo pipefail
cd "$(dirname "$0")"
. scripts/setup.sh

need_packages cmake make g++-mingw-w64-x86-64-posix libz-mingw-w64-dev libstb-dev

dir="${1:-build-win/release}"
shift || true
[ "$#" -gt 0 ] || set -- -DLINKDATA_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
# Renders the players' guide into the page that the download carries.
need_packages cmark-gfm
# libdeflate, which Debian builds for Linux only, from its source package:
# Windows then inflates, fits entries and deflates pictures as Linux does.
deflate="$(bash scripts/libdeflate-mingw.sh "$dir")"
configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DLINKDATA_INFLATER=libdeflate -Dlibdeflate_DIR="$deflate/lib/cmake/libdeflate" "$@"
cmake --build "$dir" -j"$(nproc)"

# Wine ships DLLs that Windows does not (zlib among them), so a wrongly
# linked .exe would still run under Wine: check the imports instead.
for exe in "$dir/linkdata.exe" "$dir/linkdata-sample.exe"; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
  foreign=$(echo "$imports" | grep -viE '^(kernel32|msvcrt|user32|advapi32|shell32|ws2_32|ntdll)\.dll$' || true)
  if [ -n "$foreign" ]; then
    echo "$exe needs DLLs that Windows does not have:" $foreign >&2
    exit 1
  fi
done
echo "Built $dir/linkdata.exe (imports only:" $(echo "$imports" | tr '\n' ' ')")"

# The download for players: the tool with the players' guide as a page and the
# English readme, packed by CMake's own ZIP generator (no zip program needed).
(cd "$dir" && cpack -G ZIP >/dev/null)
echo "Packed" "$dir"/linkdata-*-win64.zip
