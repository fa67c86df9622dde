#!/usr/bin/env bash
# Builds the tool and the tests with AddressSanitizer (LeakSanitizer included)
# and UndefinedBehaviorSanitizer, and runs the whole test suite there. Any
# sanitizer report ends the process with an error, so it fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" clang-14 libclang-rt-14-dev  # the sanitizer runtimes
build_tool build-asan -DCMAKE_CXX_COMPILER=clang++-14 -DLINKDATA_SANITIZE=ON

# The tests run the tool with an empty environment, so the sanitizers' own
# defaults apply there: leak detection on, abort on the first error.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$(nproc)")
