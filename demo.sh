#!/usr/bin/env bash
# Makes a small sample archive in demo/, lists what its first entries hold,
# exports every entry with its textures,
# then edits three entries, imports them and exports again to show the round trip;
# then repaints one texture with ImageMagick and shows that it alone comes back,
# and paints it once more as a PNG picture, which the tool compresses itself;
# at last restores the archive and shows that it is the one before the first import.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" imagemagick python3
configure build -DLINKDATA_TESTS=ON
cmake --build build -j"$(nproc)" --target linkdata linkdata-sample

rm -rf demo
mkdir -p demo
./build/linkdata-sample demo A
cd demo
tool=../build/linkdata
first_sum=$(sha256sum LINKDATA_EU_OS_EUNA.A | cut -d' ' -f1)
echo "SHA-256 of LINKDATA_EU_OS_EUNA.A before the first import: $first_sum"

echo "== linkdata l A 0 12 y"
$tool l A 0 12 y
echo
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
[ "$status" -eq 0 ] || exit "$status"

echo
echo "== repaint texture 2 of entry 7 (DXT5 128x128, 8 levels) with ImageMagick"
rm -f Import/A/*.data
cp -r Extracted/A before-textures
convert=$(command -v convert-im6.q16 || command -v convert)
mkdir -p Import/A/Textures/7
"$convert" 'Extracted/A/Textures/7/0_2.dds[0]' -negate -fill red -draw 'rectangle 10,10 60,40' edited.png
"$convert" edited.png -define dds:compression=dxt5 -define dds:mipmaps=7 Import/A/Textures/7/0_2.dds
ls -l Import/A/Textures/7

echo
echo "== linkdata i A"
$tool i A

echo
echo "== linkdata e A 0 1000 y (again)"
$tool e A 0 1000 y >/dev/null
new=Extracted/A/Textures/7/0_2.dds
size=$(( $(stat -c %s "$new") - 128 ))
if cmp -s <(tail -c +129 Import/A/Textures/7/0_2.dds | head -c "$size") <(tail -c +129 "$new"); then
  echo "Textures/7/0_2.dds: holds the repainted pixels, all 8 levels"
else
  echo "Textures/7/0_2.dds: DIFFERS from the repainted file"; status=1
fi
while read -r f; do
  rel=${f#before-textures/}
  [ "$rel" = Textures/7/0_2.dds ] && continue
  [ "$rel" = 7.data ] && continue
  cmp -s "$f" "Extracted/A/$rel" || { echo "$rel: CHANGED although it was not imported"; status=1; }
done < <(find before-textures -type f | sort)
# Entry 7 itself: the old pixel data replaced by the new, and nothing else.
python3 - before-textures/7.data before-textures/Textures/7/0_2.dds "$new" expected-7.data <<'PY'
import sys
content, old, new = (open(p, 'rb').read() for p in sys.argv[1:4])
old, new = old[128:], new[128:]
at = content.find(old)
open(sys.argv[4], 'wb').write(content[:at] + new + content[at + len(old):])
PY
if cmp -s expected-7.data Extracted/A/7.data; then
  echo "7.data: only that texture's $size bytes of pixel data changed"
else
  echo "7.data: CHANGED outside the texture"; status=1
fi
[ "$status" -eq 0 ] && echo "every other file is byte-identical to the export before"
[ "$status" -eq 0 ] || exit "$status"

echo
echo "== the PNG route: export entry 7 with p, paint the picture, put it back as PNG"
rm -rf Import/A/Textures
$tool e A 7 7 p
echo "gallery page: $(ls Extracted/A/Textures/index.html)"
"$convert" Extracted/A/Textures/7/0_2.png -fill blue -draw 'circle 64,64 64,100' painted.png
mkdir -p Import/A/Textures/7
cp painted.png Import/A/Textures/7/0_2.png
$tool i A
$tool e A 7 7 p >/dev/null
# The tool compressed the picture to DXT5 itself; what comes back is close to
# what was painted, not equal, since DXT5 keeps 4 colours per 4x4 block.
compare=$(command -v compare-im6.q16 || command -v compare)
psnr=$("$compare" -metric PSNR painted.png Extracted/A/Textures/7/0_2.png null: 2>&1 || true)
echo "PSNR of the re-exported picture against the painted one: $psnr dB"
if awk -v p="$psnr" 'BEGIN { exit !(p + 0 >= 30) }'; then
  echo "Textures/7/0_2.png: holds the painted picture"
else
  echo "Textures/7/0_2.png: DIFFERS from the painted picture"; status=1
fi
[ "$status" -eq 0 ] || exit "$status"

echo
echo "== linkdata r A (every import taken back out)"
$tool r A
last_sum=$(sha256sum LINKDATA_EU_OS_EUNA.A | cut -d' ' -f1)
echo "SHA-256 of LINKDATA_EU_OS_EUNA.A now:                    $last_sum"
if [ "$last_sum" = "$first_sum" ]; then
  echo "the archive is byte-identical to the one before the first import"
else
  echo "the archive DIFFERS from the one before the first import"; status=1
fi
exit "$status"
