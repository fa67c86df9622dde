#!/usr/bin/env bash
# Builds the tool and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" imagemagick clang-format chromium
bash scripts/check-format.sh
echo "== every C++ source is formatted as .clang-format says"
bash scripts/check-floors.sh
started=$SECONDS
build_tool build
(cd build && ctest --output-on-failure -j"$(nproc)")
echo "== unit and end-to-end tests passed in $((SECONDS - started)) s"

# Further suites, each a script of its own (sanitizers, fuzzing, Windows).
for suite in scripts/test-sanitized.sh scripts/test-fuzz.sh scripts/test-windows.sh; do
  echo "== $suite"
  started=$SECONDS
  bash "$suite"
  echo "== $suite passed in $((SECONDS - started)) s"
done
