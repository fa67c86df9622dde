#!/usr/bin/env bash
# What mode m costs against plain imports of the same files: a sample
# archive (linkdata-sample, SIZE_MIB, 256 by default), every entry exported,
# one byte of each changed, the lot made a mod. Per run: `i A` of those
# files into a fresh copy, `i A` of the exported (unchanged) files over it
# (an import of the touched entries back), then on another fresh copy
# `m + big` and `m - big`, which must leave the archive as it was.
#
#   bash bench/mods_costs.sh [SIZE_MIB] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
tool="$PWD/build/linkdata"
sample="$PWD/build/linkdata-sample"
size="${1:-256}"
runs="${2:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
"$sample" . A "$size" > /dev/null
cp LINKDATA_EU_OS_EUNA.A pristine
"$tool" e A 0 2147483647 > /dev/null
mkdir -p Mods/big/A original
python3 - <<'PY'
import os
for name in os.listdir("Extracted/A"):
    if not name.endswith(".data"):
        continue
    data = bytearray(open("Extracted/A/" + name, "rb").read())
    open("original/" + name, "wb").write(data)
    if data:
        data[len(data) // 2] ^= 1
    open("Mods/big/A/" + name, "wb").write(data)
PY
echo "mod: $(ls Mods/big/A | wc -l) files, $(du -sb Mods/big/A | cut -f1) bytes"
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
fresh() { rm -f LINKDATA_EU_OS_EUNA.A-*; cp pristine LINKDATA_EU_OS_EUNA.A; sync; }
for run in $(seq "$runs"); do
  rm -rf Import/A && mkdir -p Import/A && cp Mods/big/A/*.data Import/A/
  fresh
  import=$(seconds "$tool" i A)
  rm -rf Import/A && mkdir -p Import/A && cp original/*.data Import/A/
  back=$(seconds "$tool" i A)
  fresh
  install=$(seconds "$tool" m + big)
  record=$(stat -c %s LINKDATA_EU_OS_EUNA.A-mods)
  takeout=$(seconds "$tool" m - big)
  cmp -s pristine LINKDATA_EU_OS_EUNA.A && same=yes || same=no
  echo "run $run: i A $import s, i A back $back s, m + $install s, m - $takeout s," \
    "record $record bytes, original after m -: $same, load $(cut -d' ' -f1 /proc/loadavg)"
done
