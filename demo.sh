#!/usr/bin/env bash
# Makes a small sample archive in demo/, exports every entry with its textures,
# then edits three entries, imports them and exports again to show the round trip.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}"
configure build -DLINKDATA_TESTS=ON
cmake --build build -j"$(nproc)" --target linkdata linkdata-sample

rm -rf demo
mkdir -p demo
./build/linkdata-sample demo A
cd demo
tool=../build/linkdata

echo "== linkdata e A 0 1000 y"
$tool e A 0 1000 y
echo
echo "== files written"
find Extracted Import | sort
cp -r Extracted/A before

echo
echo "== edit three exported entries and put them into Import/A"
# 5: compressed, 16 bytes changed (its new payload still fits its slot)
cp before/5.data Import/A/5.data
printf 'EDITED BY DEMO!!' | dd of=Import/A/5.data bs=1 seek=1000 conv=notrunc status=none
# 1: plain, 3000 bytes in a 4096-byte slot, shortened in place
head -c 2500 before/1.data > Import/A/1.data
# 2: plain, exactly one 2048-byte slot; grows past it, so it is appended
{ cat before/2.data; printf 'one line more than the slot holds\n'; } > Import/A/2.data
ls -l Import/A

echo
echo "== linkdata i A"
$tool i A

echo
echo "== linkdata e A 0 1000 (again)"
$tool e A 0 1000 >/dev/null
status=0
for f in before/*.data; do
  name=$(basename "$f")
  if [ -f "Import/A/$name" ]; then
    if cmp -s "Import/A/$name" "Extracted/A/$name"; then
      echo "$name: holds the edited bytes"
    else
      echo "$name: DIFFERS from the edited file"; status=1
    fi
  elif ! cmp -s "$f" "Extracted/A/$name"; then
    echo "$name: CHANGED although it was not imported"; status=1
  fi
done
[ "$status" -eq 0 ] && echo "every other entry is byte-identical to the first export"
exit "$status"
