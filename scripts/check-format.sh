#!/usr/bin/env bash
# Fails when a C++ source of the project is not formatted as .clang-format
# says; `clang-format -i` on the files it names fixes them.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
