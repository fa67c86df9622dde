#!/usr/bin/env bash
# Makes a small sample archive in demo/ and exports every entry with textures.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}"
build_tool build -DLINKDATA_TESTS=OFF

rm -rf demo
mkdir -p demo
./build/linkdata-sample demo A
cd demo
echo "== linkdata e A 0 1000 y"
../build/linkdata e A 0 1000 y
echo
echo "== files written"
find Extracted Import | sort
