#!/usr/bin/env bash
# Export and import throughput against their floors, on one CPU and on all.
#
#   bench/run.sh [--size MIB] [--runs N] [--import-mib MIB] [--tool BINARY]
#                [--only export|import|levels] [--big] [--levels "1 6 9"]
#                [--level-mib MIB] [--against BINARY] [--against-windows EXE]
#                [--import-data real|sample]
#
# Generates (once, kept in bench/out) a sample archive of about --size MiB
# (default 1024) and one of 50,000 small entries, then measures, --runs times
# each (default 3), and prints the medians in one table:
#   export of every entry, without and with textures (y), with PNG pictures
#     of the textures instead (p), on 1 CPU and on all, and what p costs
#     beyond y per megapixel of pictures written and per CPU;
#   export of the small-entries archive on 1 CPU and on all;
#   import of about --import-mib MiB (default 256) of loose files into
#     compressed entries of an archive of real files (--import-data real, the
#     default: shared libraries, text and DXT textures, stored as zlib level 9
#     stores them, made by bench/make_real_archive.py) or of the sample
#     archive (--import-data sample), once growing past their slots
#     (appended, each with an fdatasync) and once edited but fitting them,
#     with the stored bytes of the fitting set against zlib level 9's; the
#     growing set also runs with
#     fdatasync turned into a no-op, which shows what the flushes cost; the
#     fitting set is then imported a second time over the first, and the
#     archive restored (r) where the tool has that mode, which must give the
#     archive back byte for byte; and an edge-of-slot set: the shared-library
#     and text entries with one byte in every 4 KiB changed, many of which
#     compress to just over or under their slot (the fit rule's fallback),
#     with its stored bytes against zlib level 9's too;
#   floors on the same data: cp of the archive, zlib uncompress and libdeflate
#     of every chunk on one core, writing the files that export writes (one
#     open with truncation, write and close each; and rewritten in place, as
#     export does) on one core, for both archives, and zlib
#     compress2 level 9 of every 32 KiB block of the import's files on one
#     core (the import's floor);
#   export of an archive of about --level-mib MiB (default 256) whose chunks
#     zlib wrote at each of --levels (default 1, 6 and 9), of data that takes
#     two deflate blocks a chunk (linkdata-sample --data literal), on 1 CPU
#     and on all, with the zlib, libdeflate and rewrite floors of that archive;
#   the listing (l) of every entry, from the index alone and with y (every
#     entry decoded and described), on 1 CPU and on all, for both archives,
#     and of an index of 100,000 entries over a sparse file;
#   peak resident memory of every tool run.
# The floors run inside the same repetitions as the tool, so that whatever
# else loads the machine weighs on both alike.
# --tool measures another linkdata binary (an older build, say) against the
# same data; --against BINARY times one more build in the level and import
# runs, in the same repetitions (labels `against_...`), for a before/after
# comparison.
# --against-windows EXE does the same with the Windows build, run under Wine
# (a Wine prefix of its own in bench/out, made once): the Windows tool
# against the Linux one on the same files.
# --only runs just the export, the import or the level part. --big also
# exports a 4 GiB archive once, for its peak memory.
# Not part of ./test.sh; everything it writes stays in bench/out.
# The block compression of PNG import has a benchmark of its own:
# bench/png_quality.sh (quality and speed against libsquish).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/setup.sh
need_packages "${BASE_PACKAGES[@]}" time util-linux

SIZE=1024 RUNS=3 IMPORT_MIB=256 TOOL="" BIG=0 ONLY="" LEVELS="1 6 9" LEVEL_MIB=256 AGAINST=""
AGAINST_WINDOWS=""
IMPORT_DATA=real
SMALL_COUNT=50000
USAGE="usage: bench/run.sh [--size MIB] [--runs N] [--import-mib MIB] [--tool BINARY] [--only export|import|levels] [--big] [--levels \"1 6 9\"] [--level-mib MIB] [--against BINARY] [--against-windows EXE] [--import-data real|sample]"
while [ $# -gt 0 ]; do
  case "$1" in
    --size) SIZE=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --import-mib) IMPORT_MIB=$2; shift 2 ;;
    --tool) TOOL=$(realpath "$2"); shift 2 ;;
    --only) ONLY=$2; shift 2
            case "$ONLY" in export|import|levels) ;; *) echo "$USAGE" >&2; exit 2 ;; esac ;;
    --big) BIG=1; shift ;;
    --levels) LEVELS=$2; shift 2 ;;
    --level-mib) LEVEL_MIB=$2; shift 2 ;;
    --against) AGAINST=$(realpath "$2"); shift 2 ;;
    --against-windows) AGAINST_WINDOWS=$(realpath "$2"); shift 2 ;;
    --import-data) IMPORT_DATA=$2; shift 2
                   case "$IMPORT_DATA" in real|sample) ;; *) echo "$USAGE" >&2; exit 2 ;; esac ;;
    *) echo "$USAGE" >&2; exit 2 ;;
  esac
done

OUT=$ROOT/bench/out
mkdir -p "$OUT"
if [ -n "$AGAINST_WINDOWS" ]; then
  need_packages wine wine64
  export WINEPREFIX=$OUT/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= LC_ALL=C.UTF-8
  wineboot -i </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
  AGAINST=$OUT/linkdata-under-wine
  printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$AGAINST_WINDOWS" > "$AGAINST"
  chmod +x "$AGAINST"
fi
echo "== building" >&2
build_tool build-bench >/dev/null
TOOL=${TOOL:-$ROOT/build-bench/linkdata}
SAMPLE=$ROOT/build-bench/linkdata-sample
c++ -O2 -std=c++17 -Wall -Wextra -Wpedantic -I"$ROOT" bench/floors.cpp -lz -ldeflate -o "$OUT/floors"
c++ -O2 -shared -fPIC bench/nosync.cpp -o "$OUT/nosync.so"

ONE=$(taskset -pc $$ | sed 's/.*: *//; s/[,-].*//')  # the first CPU we may use
ALL=$(taskset -pc $$ | sed 's/.*: *//')
RESULTS=$OUT/results.tsv
: > "$RESULTS"

# measure LABEL BYTES CPUS [env VAR=...] COMMAND...: one timed run in the
# current directory; stdout goes to $OUT/last.log.
measure() {
  local label=$1 bytes=$2 cpus=$3
  shift 3
  sync
  /usr/bin/time -f "%e %M" -o "$OUT/time.txt" taskset -c "$cpus" "$@" > "$OUT/last.log"
  read -r seconds rss < "$OUT/time.txt"
  printf '%s\t%s\t%s\t%s\n' "$label" "$seconds" "$rss" "$bytes" >> "$RESULTS"
}

# floor LABEL ARGS...: one run of a floor on one core, which times itself. A
# third figure it prints (the compress floor's stored bytes) goes in as
# LABEL_stored.
floor() {
  local label=$1 s b stored
  shift
  sync
  read -r s b stored < <(taskset -c "$ONE" "$OUT/floors" "$@")
  printf '%s\t%s\t0\t%s\n' "$label" "$s" "$b" >> "$RESULTS"
  [ -z "$stored" ] || printf '%s_stored\t0\t0\t%s\n' "$label" "$stored" >> "$RESULTS"
}

# stored_bytes LABEL DIR: the stored sizes that the archive in the current
# folder records for the entries of DIR's loose files, as LABEL.
stored_bytes() {
  python3 - "$1" "$2" LINKDATA_EU_OS_EUNA.A >> "$RESULTS" <<'PY'
import os, struct, sys
label, loose, archive = sys.argv[1:4]
with open(archive, "rb") as f:
    count = struct.unpack("<4I", f.read(16))[1]
    index = f.read(16 * count)
total = sum(struct.unpack_from("<QII", index, 16 * int(name[:-5]))[1]
            for name in os.listdir(loose) if name.endswith(".data"))
print("%s\t0\t0\t%d" % (label, total))
PY
}

make_archive() {  # make_archive MIB | make_archive small COUNT: prints the archive's path
  local dir=$OUT/data-$1${2:+-$2}
  if [ ! -f "$dir/done" ]; then
    echo "== generating archive $1${2:+ $2}" >&2
    rm -rf "$dir"
    "$SAMPLE" "$dir" A "$@" >&2
    touch "$dir/done"
  fi
  echo "$dir/LINKDATA_EU_OS_EUNA.A"
}

make_level_archive() {  # make_level_archive LEVEL MIB: prints the archive's path
  local dir=$OUT/data-level$1-$2
  if [ ! -f "$dir/done" ]; then
    echo "== generating archive of $2 MiB at level $1" >&2
    rm -rf "$dir"
    "$SAMPLE" --level "$1" --data literal "$dir" A "$2" >&2
    touch "$dir/done"
  fi
  echo "$dir/LINKDATA_EU_OS_EUNA.A"
}

# prepare_export DIR ARCHIVE REFERENCE: a folder holding the archive, where a
# first, untimed run creates the files that the timed runs then replace, as a
# user's repeated export does (creating thousands of files right after
# deleting them costs ext4 far more than replacing them). The write floor's
# folder, DIR/floor-write, is filled once likewise.
prepare_export() {
  rm -rf "$1" && mkdir -p "$1/floor-write"
  ln "$2" "$1/" 2>/dev/null || cp "$2" "$1/"
  (cd "$1" && "$TOOL" e a 0 2147483647 "${@:4}" > "$3")
  [ "$ONLY" = import ] || "$OUT/floors" write "$2" "$1/floor-write" > /dev/null
}

if [ "$ONLY" != levels ]; then
ARCH=$(make_archive "$SIZE")
ARCH_BYTES=$(stat -c %s "$ARCH")
EXP=$OUT/work-export
# Import takes its loose files from an export, so it is made in any case.
prepare_export "$EXP" "$ARCH" "$OUT/export-reference.log" y
# The pictures too, so that the timed runs replace them; and their megapixels.
(cd "$EXP" && "$TOOL" e a 0 2147483647 p > /dev/null)
PICTURE_PIXELS=$(python3 - "$EXP/Extracted/A/Textures" <<'PY'
import glob, struct, sys
total = 0
for name in glob.glob(sys.argv[1] + "/*/*.png"):
    with open(name, "rb") as f:
        w, h = struct.unpack(">II", f.read(24)[16:24])
    total += w * h
print(total)
PY
)
fi

if [ -z "$ONLY" ] || [ "$ONLY" = levels ]; then
  for level in $LEVELS; do
    arch=$(make_level_archive "$level" "$LEVEL_MIB")
    prepare_export "$OUT/work-level$level" "$arch" "$OUT/export-level$level-reference.log"
  done
  echo "== export at levels $LEVELS" >&2
  for ((r = 0; r < RUNS; r++)); do
    for level in $LEVELS; do
      arch=$(make_level_archive "$level" "$LEVEL_MIB")
      bytes=$(stat -c %s "$arch")
      work=$OUT/work-level$level
      cd "$OUT"
      floor "level${level}_inflate_floor_1" inflate "$arch"
      floor "level${level}_libdeflate_floor_1" libdeflate "$arch"
      floor "level${level}_rewrite_floor_1" rewrite "$arch" "$work/floor-write"
      cd "$work"
      for tool in "$TOOL" ${AGAINST:+"$AGAINST"}; do
        prefix=""; [ "$tool" = "$TOOL" ] || prefix=against_
        for cpus in "$ONE" "$ALL"; do
          n=1; [ "$cpus" = "$ONE" ] || n=all
          measure "${prefix}level${level}_export_${n}" "$bytes" "$cpus" "$tool" e a 0 2147483647
          cmp -s "$OUT/last.log" "$OUT/export-level$level-reference.log" ||
            echo "!! level $level export messages differ" >&2
        done
      done
    done
  done
fi

if [ -z "$ONLY" ] || [ "$ONLY" = export ]; then
  SMALL=$(make_archive small "$SMALL_COUNT")
  SMALL_BYTES=$(stat -c %s "$SMALL")
  SMALL_EXP=$OUT/work-small
  prepare_export "$SMALL_EXP" "$SMALL" "$OUT/export-small-reference.log"
  # An index of 100,000 plain entries of 2 KiB over a sparse file: what the
  # listing reads without y is the header and the index alone.
  INDEX_DIR=$OUT/work-index
  rm -rf "$INDEX_DIR" && mkdir -p "$INDEX_DIR"
  python3 - "$INDEX_DIR/LINKDATA_EU_OS_EUNA.A" <<'PY'
import struct, sys
n = 100000
first = (16 + 16 * n + 2047) // 2048
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<IIII", 0x11E54, n, 2048, 0))
    f.write(b"".join(struct.pack("<QII", first + k, 2048, 0) for k in range(n)))
    f.truncate((first + n) * 2048)
PY
  INDEX_BYTES=$(stat -c %s "$INDEX_DIR/LINKDATA_EU_OS_EUNA.A")
  # check_listing ARCHIVE: the last run listed every entry of the archive
  # (one line each after the header) and found no entry it could not read.
  check_listing() {
    local count
    count=$(python3 -c 'import struct,sys; print(struct.unpack("<I", open(sys.argv[1],"rb").read(8)[4:])[0])' "$1")
    [ "$(wc -l < "$OUT/last.log")" = $((count + 1)) ] || echo "!! listing of $1 is incomplete" >&2
    ! grep -q "出错" "$OUT/last.log" || echo "!! listing of $1 found failing entries" >&2
  }
  echo "== export" >&2
  for ((r = 0; r < RUNS; r++)); do
    cd "$OUT"
    rm -f "$OUT/copy.bin"
    measure copy_all "$ARCH_BYTES" "$ALL" cp "$ARCH" "$OUT/copy.bin"
    rm -f "$OUT/copy.bin"
    floor inflate_floor_1 inflate "$ARCH"
    floor libdeflate_floor_1 libdeflate "$ARCH"
    floor write_floor_1 write "$ARCH" "$EXP/floor-write"
    floor rewrite_floor_1 rewrite "$ARCH" "$EXP/floor-write"
    cd "$EXP"
    for cpus in "$ONE" "$ALL"; do
      n=1; [ "$cpus" = "$ONE" ] || n=all
      measure "export_${n}" "$ARCH_BYTES" "$cpus" "$TOOL" e a 0 2147483647
      measure "export_textures_${n}" "$ARCH_BYTES" "$cpus" "$TOOL" e a 0 2147483647 y
      cmp -s "$OUT/last.log" "$OUT/export-reference.log" || echo "!! export messages differ" >&2
      measure "export_pictures_${n}" "$PICTURE_PIXELS" "$cpus" "$TOOL" e a 0 2147483647 p
      cmp -s "$OUT/last.log" "$OUT/export-reference.log" || echo "!! p export messages differ" >&2
      measure "list_${n}" "$ARCH_BYTES" "$cpus" "$TOOL" l a
      measure "list_examined_${n}" "$ARCH_BYTES" "$cpus" "$TOOL" l a 0 2147483647 y
      check_listing "$ARCH"
    done
    floor small_write_floor_1 write "$SMALL" "$SMALL_EXP/floor-write"
    floor small_rewrite_floor_1 rewrite "$SMALL" "$SMALL_EXP/floor-write"
    cd "$SMALL_EXP"
    for cpus in "$ONE" "$ALL"; do
      n=1; [ "$cpus" = "$ONE" ] || n=all
      measure "small_export_${n}" "$SMALL_BYTES" "$cpus" "$TOOL" e a 0 2147483647
      cmp -s "$OUT/last.log" "$OUT/export-small-reference.log" ||
        echo "!! small-entries export messages differ" >&2
      measure "small_list_${n}" "$SMALL_BYTES" "$cpus" "$TOOL" l a
      measure "small_list_examined_${n}" "$SMALL_BYTES" "$cpus" "$TOOL" l a 0 2147483647 y
      check_listing "$SMALL"
    done
    cd "$INDEX_DIR"
    measure index_100k_list_1 "$INDEX_BYTES" "$ONE" "$TOOL" l a
    [ "$(wc -l < "$OUT/last.log")" = 100001 ] || echo "!! the 100,000-entry listing is short" >&2
  done
fi

if [ -z "$ONLY" ] || [ "$ONLY" = import ]; then
  IMP_ARCH=$ARCH IMP_CONTENT=$EXP/Extracted/A IMP_FIRST=13
  if [ "$IMPORT_DATA" = real ]; then
    IMP_DIR=$OUT/data-real-$IMPORT_MIB
    if [ ! -f "$IMP_DIR/done" ]; then
      echo "== generating an archive of real files for the import" >&2
      rm -rf "$IMP_DIR" && mkdir -p "$IMP_DIR"
      python3 "$ROOT/bench/make_real_archive.py" "$IMP_DIR/LINKDATA_EU_OS_EUNA.A" \
        "$IMP_DIR/content" $((IMPORT_MIB * 115 / 100)) "$EXP/Extracted/A/Textures"
      touch "$IMP_DIR/done"
    fi
    IMP_ARCH=$IMP_DIR/LINKDATA_EU_OS_EUNA.A IMP_CONTENT=$IMP_DIR/content IMP_FIRST=0
  fi
  echo "== import" >&2
  for set in grow fit edge; do rm -rf "$OUT/import-$set" && mkdir -p "$OUT/import-$set/Import/A"; done
  read -r GROW_BYTES FIT_BYTES EDGE_BYTES < <(python3 "$ROOT/bench/make_import.py" \
    --edge "$OUT/import-edge/Import/A" "$IMP_ARCH" "$IMP_CONTENT" \
    "$OUT/import-grow/Import/A" "$OUT/import-fit/Import/A" "$IMPORT_MIB" "$IMP_FIRST")
  # check_import SET [PREFIX]: how many growing files still fitted their
  # slot (a stronger encoder can fit a file that grew by little); of the
  # fitting and the edge-of-slot sets, how many were appended (PREFIX:
  # against_ for the --against build's run).
  check_import() {
    local appended in_place
    appended=$(grep -c " 中添加未压缩文件 " "$OUT/last.log" || true)
    if [ "$1" = grow ]; then
      in_place=$(grep -c " 中导入压缩文件 " "$OUT/last.log" || true)
      [ "$in_place" = 0 ] ||
        echo "   ${2:-}import-grow: $in_place of $(wc -l < "$OUT/last.log") files fitted in place" >&2
    elif [ "$appended" -gt 0 ]; then
      echo "   ${2:-}import-$1: $appended of $(wc -l < "$OUT/last.log") files appended" >&2
    fi
  }
  # Whether the tool keeps originals and restores them.
  RESTORES=0
  banner=$("$TOOL" < /dev/null || true)
  if [[ $banner == *还原：* ]]; then RESTORES=1; fi
  for ((r = 0; r < RUNS; r++)); do
    floor compress_floor_1 compress "$OUT/import-fit/Import/A"
    floor compress_grow_floor_1 compress "$OUT/import-grow/Import/A"
    floor compress_edge_floor_1 compress "$OUT/import-edge/Import/A"
    for set in grow fit edge; do
      cd "$OUT/import-$set"
      case $set in grow) bytes=$GROW_BYTES ;; fit) bytes=$FIT_BYTES ;; edge) bytes=$EDGE_BYTES ;; esac
      for tool in "$TOOL" ${AGAINST:+"$AGAINST"}; do
        prefix=""; [ "$tool" = "$TOOL" ] || prefix=against_
        for cpus in "$ONE" "$ALL"; do
          n=1; [ "$cpus" = "$ONE" ] || n=all
          rm -f LINKDATA_EU_OS_EUNA.A-original*
          cp "$IMP_ARCH" .
          measure "${prefix}import_${set}_${n}" "$bytes" "$cpus" "$tool" i a
          check_import "$set" "$prefix"
          [ "$set" != grow ] || continue
          stored_bytes "${prefix}import_${set}_stored_${n}" Import/A
          [ "$set" = fit ] || continue
          measure "${prefix}import_fit_again_${n}" "$bytes" "$cpus" "$tool" i a
          check_import fit "$prefix"
          [ "$RESTORES" = 1 ] || continue
          measure "${prefix}restore_fit_${n}" "$bytes" "$cpus" "$tool" r a
          cmp -s "$IMP_ARCH" LINKDATA_EU_OS_EUNA.A || echo "!! restore did not give the archive back" >&2
        done
      done
      if [ "$set" = grow ]; then
        rm -f LINKDATA_EU_OS_EUNA.A-original*
        cp "$IMP_ARCH" .
        measure "import_grow_nosync_all" "$bytes" "$ALL" env LD_PRELOAD="$OUT/nosync.so" "$TOOL" i a
        check_import grow
      fi
    done
  done
  rm -f "$OUT"/import-*/LINKDATA_EU_OS_EUNA.A*
  # One plain entry of 300 MiB imported in place over itself, its original
  # bytes saved as the import goes, then restored: the peak memory against
  # the entry's size.
  BIG_ENTRY=$OUT/import-entry-300mib
  rm -rf "$BIG_ENTRY" && mkdir -p "$BIG_ENTRY/Import/A"
  python3 - "$BIG_ENTRY" <<'PY'
import struct, sys
size, folder = 300 << 20, sys.argv[1]
with open(folder + "/Import/A/0.data", "wb") as f:
    block = bytes(range(256)) * 4096
    for _ in range(size // len(block)):
        f.write(block)
with open(folder + "/LINKDATA_EU_OS_EUNA.A", "wb") as f:
    f.write(struct.pack("<IIII", 0x11E54, 1, 2048, 0) + struct.pack("<QII", 1, size, 0))
    f.truncate(2048 + size)
PY
  cd "$BIG_ENTRY"
  for ((r = 0; r < RUNS; r++)); do
    for tool in "$TOOL" ${AGAINST:+"$AGAINST"}; do
      prefix=""; [ "$tool" = "$TOOL" ] || prefix=against_
      rm -f LINKDATA_EU_OS_EUNA.A-original*
      measure "${prefix}import_300mib_in_place_all" $((300 << 20)) "$ALL" "$tool" i a
      grep -q " 中导入未压缩文件 " "$OUT/last.log" || echo "!! the 300 MiB entry was not imported in place" >&2
      measure "${prefix}restore_300mib_all" $((300 << 20)) "$ALL" "$tool" r a
    done
  done
  rm -rf "$BIG_ENTRY"
fi
cd "$OUT"

if [ "$BIG" = 1 ]; then
  echo "== export of a 4 GiB archive" >&2
  BIG_ARCH=$(make_archive 4096)
  rm -rf "$OUT/work-big" && mkdir -p "$OUT/work-big"
  ln "$BIG_ARCH" "$OUT/work-big/" 2>/dev/null || cp "$BIG_ARCH" "$OUT/work-big/"
  cd "$OUT/work-big"
  measure export_4gib_all "$(stat -c %s "$BIG_ARCH")" "$ALL" "$TOOL" e a 0 2147483647
  cd "$OUT" && rm -rf "$OUT/work-big"
fi

python3 - "$RESULTS" "$(nproc)" "$TOOL" "$LEVELS" <<'EOF'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    label, s, rss, b = line.split("\t")
    rows.setdefault(label, []).append((float(s), int(rss), int(b)))
med = {k: statistics.median(x[0] for x in v) for k, v in rows.items()}
print("linkdata benchmark: %s, %s CPUs; medians of %d runs" % (sys.argv[3], sys.argv[2],
      max(len(v) for v in rows.values())))
print("%-28s %9s %9s %10s" % ("run", "seconds", "MiB/s", "peak MiB"))
for label, v in rows.items():
    mib = v[0][2] / 2**20
    if label.endswith("_stored"):
        print("%-28s %9s %9s %10s  stored MiB %.2f" % (label, "-", "-", "-", mib))
        continue
    rss = max(x[1] for x in v) / 1024
    print("%-28s %9.2f %9.1f %10s" % (label, med[label], mib / med[label] if med[label] else 0,
                                      "%.0f" % rss if rss else "-"))
def ratio(name, a, b, target):
    if a in med and b:
        r = med[a] / b
        print("%-52s %6.2f  (target %s)" % (name, r, target))
print()
g = med.get
if "export_all" in med:
    ratio("export all CPUs / export 1 CPU", "export_all", g("export_1"), "<= 0.60")
    floor = max(g("copy_all", 0), g("inflate_floor_1", 0) / 2)
    ratio("export all CPUs / max(copy, inflate floor / 2)", "export_all", floor, "<= 1.30")
    ratio("export 1 CPU / (libdeflate floor + write floor)", "export_1",
          g("libdeflate_floor_1", 0) + g("write_floor_1", 0), "<= 1.5")
    ratio("export 1 CPU / (libdeflate floor + rewrite floor)", "export_1",
          g("libdeflate_floor_1", 0) + g("rewrite_floor_1", 0), "-")
    ratio("export with textures all CPUs / 1 CPU", "export_textures_all",
          g("export_textures_1"), "-")
    if "export_pictures_1" in med:
        # The export_pictures rows' "bytes" column holds the pixels of the pictures.
        mp = rows["export_pictures_1"][0][2] / 1e6
        for n, cpus in (("1", 1), ("all", int(sys.argv[2]))):
            extra = (med["export_pictures_" + n] - med["export_textures_" + n]) * 1000 * cpus / mp
            print("%-52s %6.1f  (target <= 25)" % ("p beyond y, %s CPU(s): ms per megapixel per CPU" % n,
                                                  extra))
    ratio("listing all CPUs / export all CPUs", "list_all", g("export_all"), "<= 0.10")
    ratio("listing 1 CPU / export 1 CPU", "list_1", g("export_1"), "<= 0.10")
    ratio("listing with y all CPUs / export all CPUs", "list_examined_all", g("export_all"), "<= 1.0")
    ratio("listing y all CPUs / export textures all CPUs", "list_examined_all",
          g("export_textures_all"), "<= 1.0")
    ratio("listing y 1 CPU / export textures 1 CPU", "list_examined_1",
          g("export_textures_1"), "<= 1.0")
if "small_export_all" in med:
    ratio("small entries: export all CPUs / export 1 CPU", "small_export_all",
          g("small_export_1"), "<= 0.60")
    ratio("small entries: export all CPUs / write floor", "small_export_all",
          g("small_write_floor_1"), "<= 1.0")
    ratio("small entries: export all CPUs / rewrite floor", "small_export_all",
          g("small_rewrite_floor_1"), "-")
    ratio("small entries: listing all CPUs / export all CPUs", "small_list_all",
          g("small_export_all"), "<= 0.10")
    ratio("small entries: listing y all CPUs / export all CPUs", "small_list_examined_all",
          g("small_export_all"), "<= 1.0")
if "index_100k_list_1" in med:
    print("%-52s %6.3f s  (target well under 1 s)" % ("listing of a 100,000-entry index, 1 CPU",
                                                     med["index_100k_list_1"]))
for level in sys.argv[4].split():
    for who in ("", "against_"):
        if who + "level%s_export_1" % level not in med:
            continue
        name = "level %s%s: " % (level, " (against)" if who else "")
        floors = g("level%s_libdeflate_floor_1" % level, 0) + g("level%s_rewrite_floor_1" % level, 0)
        ratio(name + "export 1 CPU / (libdeflate + rewrite floors)",
              who + "level%s_export_1" % level, floors, "<= 1.2")
        ratio(name + "export all CPUs / export 1 CPU", who + "level%s_export_all" % level,
              g(who + "level%s_export_1" % level), "<= 0.55")
        ratio(name + "export 1 CPU / (zlib + rewrite floors)", who + "level%s_export_1" % level,
              g("level%s_inflate_floor_1" % level, 0) + g("level%s_rewrite_floor_1" % level, 0), "-")
def median_bytes(label):
    return statistics.median(x[2] for x in rows[label]) if label in rows else 0
if "import_grow_all" in med:
    ratio("import fitting 1 CPU / zlib 9 floor", "import_fit_1", g("compress_floor_1"), "<= 0.45")
    ratio("import fitting all CPUs / 1 CPU", "import_fit_all", g("import_fit_1"), "<= 0.55")
    ratio("import fitting again 1 CPU / zlib 9 floor", "import_fit_again_1",
          g("compress_floor_1"), "<= 0.45")
    ratio("import fitting again all CPUs / 1 CPU", "import_fit_again_all",
          g("import_fit_again_1"), "<= 0.55")
    for who in ("", "against_"):
        if who + "import_edge_1" not in med:
            continue
        name = "(against) " if who else ""
        ratio(name + "import edge of slots 1 CPU / its zlib 9 floor", who + "import_edge_1",
              g("compress_edge_floor_1"), "<= 0.45")
        ratio(name + "import edge of slots all CPUs / 1 CPU", who + "import_edge_all",
              g(who + "import_edge_1"), "<= 0.55")
        if who:
            ratio("(against) import fitting 1 CPU / zlib 9 floor", "against_import_fit_1",
                  g("compress_floor_1"), "-")
            ratio("(against) import fitting all CPUs / 1 CPU", "against_import_fit_all",
                  g("against_import_fit_1"), "-")
    for who in ("", "against_"):
        for set, floor_label in (("fit", "compress_floor_1"), ("edge", "compress_edge_floor_1")):
            zlib9 = median_bytes(floor_label + "_stored")
            for n in ("1", "all"):
                label = who + "import_%s_stored_%s" % (set, n)
                if zlib9 and label in rows:
                    print("%-52s %6.4f  (target <= 1)" % (
                        "%sstored bytes of the %s set (%s) / zlib 9's"
                        % ("(against) " if who else "", "fitting" if set == "fit" else "edge", n),
                        median_bytes(label) / zlib9))
    ratio("import growing 1 CPU / its zlib 9 floor", "import_grow_1",
          g("compress_grow_floor_1"), "-")
    ratio("import growing all CPUs / 1 CPU", "import_grow_all", g("import_grow_1"), "<= 0.60")
    ratio("import fitting again / first import (all CPUs)", "import_fit_again_all",
          g("import_fit_all"), "-")
    ratio("restore of the fitting set / its import (all CPUs)", "restore_fit_all",
          g("import_fit_all"), "<= 1.0")
    print("%-52s %6.2f s" % ("fdatasync cost in the growing import (all CPUs)",
                             g("import_grow_all") - g("import_grow_nosync_all")))
for who in ("", "against_"):
    label = who + "import_300mib_in_place_all"
    if label in rows:
        print("%-52s %6.2f  (target <= 1.2)" % ("in-place import of 300 MiB%s: peak / entry size"
              % (" (against)" if who else ""), max(x[1] for x in rows[label]) / 1024 / 300))
EOF
