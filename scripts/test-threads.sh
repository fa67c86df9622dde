#!/usr/bin/env bash
# Builds the tool and the tests with ThreadSanitizer and runs the whole test
# suite there: export decodes on worker threads, compression runs on every
# CPU and import prepares the next file on a thread of its own, so any data
# race is a failure. A report aborts the tool, so it fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" clang-14 libclang-rt-14-dev
build_tool build-tsan -DCMAKE_CXX_COMPILER=clang++-14 -DLINKDATA_SANITIZE_THREADS=ON
export TSAN_OPTIONS=halt_on_error=1:abort_on_error=1
(cd build-tsan && ctest --output-on-failure -j"$(nproc)")
