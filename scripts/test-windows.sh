#!/usr/bin/env bash
# Cross-builds the tool and the whole test suite for Windows and runs it under
# Wine through CTest's cross-compiling emulator. The end-to-end tests expect
# what the tool does on Windows: '\' in messages, the find-first existence test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${WINDOWS_PACKAGES[@]}"
toolchain="$PWD/cmake/mingw-w64-x86_64.cmake"

# GoogleTest for Windows, from Debian's sources. It is built once per machine,
# not per checkout (CI tests a fresh clone each time), and kept under a name
# made of everything it is built from: the googletest package, the compiler
# and the toolchain file; any change of these builds it anew.
key=$({
  dpkg-query -W -f='${Version}' googletest
  x86_64-w64-mingw32-g++-posix --version | head -n 1
  cat "$toolchain"
} | sha256sum | cut -c1-16)
cache="${LINKDATA_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/linkdata}"
gtest="$cache/googletest-mingw-$key"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  mkdir -p "$cache"
  work="$(mktemp -d "$cache/googletest-build.XXXXXX")"
  cmake -S /usr/src/googletest -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  cmake --build "$work/build" -j"$(nproc)" >/dev/null
  # Installed under a name of its own, then renamed (its CMake files find
  # the prefix from where they lie): a run beside this one, from another
  # checkout, never sees half an installation.
  cmake --install "$work/build" --prefix "$work/install" >/dev/null
  mv -T "$work/install" "$gtest" 2>/dev/null || true  # another run may have been first
  rm -rf "$work"
  test -f "$gtest/lib/cmake/GTest/GTestConfig.cmake"
fi

# A throw-away Wine prefix, with no display and no first-run installers. Its
# server and start-up processes are started here with stdio on /dev/null: left
# to start on first use they inherit CTest's output pipe, and CTest then waits
# for them after every test.
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# Wine keeps Windows file names as Unix names in the locale's encoding; only
# UTF-8 holds every name that NTFS can, as the tests with Chinese names need.
export LC_ALL=C.UTF-8
WINEPREFIX="$(mktemp -d /tmp/linkdata-wine.XXXXXX)"
stop_wine() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap stop_wine EXIT
wineserver -p </dev/null >/dev/null 2>&1 || true  # non-zero when one already runs
wineboot -i </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

# The build lists the tests by running the test program, so Wine is ready first.
# One build serves both the tests and the download: it is made as the release
# is (Release, which only changes the optimisation), the tests run the very
# linkdata.exe that the zip carries, and the tool is compiled once.
./build-windows.sh build-win/tests -DLINKDATA_TESTS=ON -DLINKDATA_WINDOWS_PREFIX="$gtest" \
  -DCMAKE_BUILD_TYPE=Release
(cd build-win/tests && ctest --output-on-failure -j"$(nproc)")
# The Windows build has libdeflate as Linux has: an entry that only its
# encoders fit into the slot stays in place (the test skips itself where the
# encoder is zlib's, so it must be seen to pass here, not skip).
fit=$(cd build-win/tests && wine tests/linkdata_tests.exe \
  --gtest_filter=Import.EntryThatOnlyTheFastEncoderFitsStaysInPlace </dev/null 2>&1 || true)
if ! grep -qF '[  PASSED  ] 1 test.' <<<"$fit" || grep -qF 'SKIPPED' <<<"$fit"; then
  echo "The Windows build does not fit entries as libdeflate does:" >&2
  echo "$fit" >&2
  exit 1
fi

# The download as players get it: the zip unpacked, and the tool in it run on
# a sample archive for an export with textures, an import of one edit and a
# restore that gives the archive back.
version=$(sed -n 's/^project(linkdata VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
play="$(mktemp -d /tmp/linkdata-zip.XXXXXX)"
trap 'stop_wine; rm -rf "$play"' EXIT
zip_check() {  # zip_check COMMAND...: the suite fails, naming the command, unless it succeeds
  "$@" || { echo "Windows download: failed: $*" >&2; exit 1; }
}
sample="$PWD/build-win/tests/linkdata-sample.exe"
(
  cd "$play"
  cmake -E tar xf "$OLDPWD/build-win/tests/linkdata-$version-win64.zip"
  folder="$PWD/linkdata-$version-win64"
  # The guide as a page: its title, every table of the Markdown rendered as
  # one, and no link to a Markdown file that the download does not hold.
  guide="$folder/README.zh-CN.html"
  zip_check test -f "$guide"
  zip_check test ! -e "$folder/README.zh-CN.md"
  zip_check test -f "$folder/README.txt"
  zip_check grep -qF '<meta charset="utf-8">' "$guide"
  zip_check grep -qF "<title>$(sed -n '1s/^# //p' "$OLDPWD/README.zh-CN.md")</title>" "$guide"
  tables=$(grep -cE '^\|[-|: ]+\|$' "$OLDPWD/README.zh-CN.md" || true)
  zip_check test "$tables" -gt 0
  zip_check test "$(grep -c '<table>' "$guide")" -eq "$tables"
  zip_check test "$(grep -c '</table>' "$guide")" -eq "$tables"
  zip_check test "$(grep -cE 'href="[^"]*\.md"' "$guide")" -eq 0
  mkdir game && cd game
  zip_check wine "$sample" . A </dev/null >/dev/null
  cp LINKDATA_EU_OS_EUNA.A before-import
  zip_check wine "$folder/linkdata.exe" e a 0 8 y </dev/null >export.txt
  zip_check grep -qF '从 LINKDATA_EU_OS_EUNA.A 中导出文件 Extracted\A\8.data 成功！' export.txt
  zip_check test -s Extracted/A/Textures/7/0_0.dds
  { cat Extracted/A/1.data; echo 'edited'; } >Import/A/1.data
  zip_check wine "$folder/linkdata.exe" i a </dev/null >import.txt
  zip_check grep -qxF '向 LINKDATA_EU_OS_EUNA.A 中导入未压缩文件 1.data 成功！' import.txt
  zip_check wine "$folder/linkdata.exe" e a 1 1 </dev/null >/dev/null
  zip_check cmp -s Import/A/1.data Extracted/A/1.data
  zip_check wine "$folder/linkdata.exe" r a </dev/null >restore.txt
  zip_check grep -qxF '已将 LINKDATA_EU_OS_EUNA.A 还原到首次导入前的状态！' restore.txt
  zip_check cmp -s before-import LINKDATA_EU_OS_EUNA.A
  zip_check test ! -e LINKDATA_EU_OS_EUNA.A-original
)
echo "Windows download: linkdata-$version-win64.zip unpacked, its guide a page, export, import and restore run from it"
