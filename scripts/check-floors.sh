#!/usr/bin/env bash
# Fails when a source of the product includes a file on a floor above its own.
# The floors, lowest first:
#
#   platform/ < textures/ < archive/format/ < archive/safety/ < archive/modes/ < front_end/
#
# A file may include files of its own floor and of the floors below. Files
# directly in archive/ (the tree before it had its three folders) count as
# the top archive floor, level with archive/modes/: archive/format/ and
# archive/safety/ may not reach them either. tests/, tools/, fuzz/ and bench/
# stand on the whole library and are not checked. textures/ turns bytes into
# bytes: it includes none of the platform's headers that write files, make
# paths or print (whole_file.h, working_paths.h, console.h); archive/modes/
# writes the texture files.
#
#   bash scripts/check-floors.sh [ROOT]     checks ROOT (default: this checkout)
#   bash scripts/check-floors.sh --self-test
set -euo pipefail

floor_of() {  # floor_of PATH: prints the floor's level, or nothing outside the floors
  case "$1" in
    platform/*) echo 0 ;;
    textures/*) echo 1 ;;
    archive/format/*) echo 2 ;;
    archive/safety/*) echo 3 ;;
    archive/*) echo 4 ;;
    front_end/*) echo 5 ;;
  esac
}

floor_name() {
  case "$1" in
    platform/*) echo platform/ ;;
    textures/*) echo textures/ ;;
    archive/format/*) echo archive/format/ ;;
    archive/safety/*) echo archive/safety/ ;;
    archive/modes/*) echo archive/modes/ ;;
    archive/*) echo archive/ ;;
    front_end/*) echo front_end/ ;;
  esac
}

check() {  # check ROOT: prints each upward include, fails when there is one
  local root="$1" bad=0 file number target resolved from to
  local pattern='^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([^">]+)[">]'
  while IFS= read -r line; do
    [[ "$line" =~ $pattern ]] || continue
    file="${BASH_REMATCH[1]}" number="${BASH_REMATCH[2]}" target="${BASH_REMATCH[3]}"
    # Project headers are named from the root; a name without a project
    # folder is taken beside the including file when it is there.
    if [ -n "$(floor_of "$target")" ]; then
      resolved="$target"
    elif [ -e "$root/$(dirname "$file")/$target" ]; then
      resolved=$(realpath -m --relative-to="$root" "$root/$(dirname "$file")/$target")
    else
      continue  # the standard library, the system, a Debian package
    fi
    from=$(floor_of "$file") to=$(floor_of "$resolved")
    if [ -n "$to" ] && [ "$to" -gt "$from" ]; then
      echo "$file:$number: includes $resolved: $(floor_name "$file") may not include $(floor_name "$resolved")" >&2
      bad=1
    fi
    case "$file|$resolved" in
      textures/*"|platform/whole_file.h" | textures/*"|platform/working_paths.h" | \
        textures/*"|platform/console.h")
        echo "$file:$number: includes $resolved: textures/ writes no file and prints nothing" >&2
        bad=1
        ;;
    esac
  done < <(cd "$root" && find platform textures archive front_end -type f \
             \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.inc' \) 2>/dev/null |
             sort | xargs -r grep -nHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]')
  return "$bad"
}

self_test() {  # builds small trees and expects the check to pass or fail on each
  local tmp failures=0
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  # tree | file | its include | expected outcome of the check
  local cases=(
    "flat|archive/modes/import.cpp|archive/format/codec.h|pass"
    "flat|archive/modes/import.cpp|textures/dds.h|pass"
    "flat|front_end/main.cpp|archive/modes/import.h|pass"
    "flat|tests/main_test.cpp|front_end/main.h|pass"
    "flat|textures/dds.cpp|archive/format/codec.h|fail"
    "flat|platform/platform.cpp|textures/dds.h|fail"
    "flat|textures/dds.cpp|platform/little_endian.h|pass"
    "flat|textures/dds.cpp|platform/whole_file.h|fail"
    "flat|textures/gallery.cpp|platform/working_paths.h|fail"
    "flat|textures/dds.cpp|platform/console.h|fail"
    "flat|archive/modes/dds_files.cpp|platform/whole_file.h|pass"
    "flat|archive/modes/import.cpp|front_end/main.h|fail"
    "folders|archive/modes/import.cpp|archive/safety/journal.h|pass"
    "folders|archive/safety/journal.cpp|archive/format/codec.h|pass"
    "folders|archive/safety/journal.cpp|journal.h|pass"
    "folders|archive/format/codec.cpp|archive/safety/journal.h|fail"
    "folders|archive/format/codec.cpp|archive/modes/import.h|fail"
    "folders|archive/format/codec.cpp|../modes/import.h|fail"
    "folders|archive/safety/journal.cpp|archive/modes/import.h|fail"
    "folders|archive/format/codec.cpp|archive/stray.h|fail"
    "folders|archive/modes/import.cpp|front_end/main.h|fail"
  )
  local row tree file include expected root got
  for row in "${cases[@]}"; do
    IFS='|' read -r tree file include expected <<<"$row"
    root="$tmp/$RANDOM$RANDOM"
    mkdir -p "$root/platform" "$root/textures" "$root/front_end" "$root/tests"
    touch "$root/platform/platform.h" "$root/textures/dds.h" "$root/front_end/main.h"
    if [ "$tree" = flat ]; then
      mkdir -p "$root/archive"
      touch "$root/archive/format/codec.h" "$root/archive/modes/import.h"
    else
      mkdir -p "$root/archive/format" "$root/archive/safety" "$root/archive/modes"
      touch "$root/archive/format/codec.h" "$root/archive/safety/journal.h" \
        "$root/archive/modes/import.h" "$root/archive/stray.h"
    fi
    mkdir -p "$root/$(dirname "$file")"
    printf '#include <vector>\n#include "platform/platform.h"\n#include "%s"\n' "$include" >"$root/$file"
    got=pass
    check "$root" 2>/dev/null || got=fail
    if [ "$got" != "$expected" ]; then
      echo "check-floors self-test: $tree tree, $file including $include: expected $expected, got $got" >&2
      failures=1
    fi
  done
  return "$failures"
}

if [ "${1:-}" = --self-test ]; then
  self_test && echo "check-floors self-test: every case as expected"
else
  root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
  [ -d "$root/platform" ] || { echo "check-floors: no platform/ under $root" >&2; exit 2; }
  check "$root" && echo "Includes keep to their floors"
fi
