#!/usr/bin/env bash
# Builds the tool and the tests twice, with AddressSanitizer (LeakSanitizer
# included) and UndefinedBehaviorSanitizer, then with ThreadSanitizer, and runs
# the whole test suite in each. Export decodes on worker threads, compression
# runs on every CPU and import prepares the next file on a thread of its own,
# so a data race fails like a bad access. Both builds abort on the first
# report (their options are built in), so any report fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" clang-14 libclang-rt-14-dev  # the sanitizer runtimes
for sanitizer in LINKDATA_SANITIZE:build-asan LINKDATA_SANITIZE_THREADS:build-tsan; do
  option=${sanitizer%%:*} dir=${sanitizer#*:}
  echo "== $dir"
  build_tool "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -D"$option"=ON
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)")
done
