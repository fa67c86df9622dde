#!/usr/bin/env bash
# Builds the tool and the tests with AddressSanitizer (LeakSanitizer included)
# and UndefinedBehaviorSanitizer and runs the whole test suite; then builds
# them with ThreadSanitizer and runs the suites whose code runs on more than
# one thread. Both builds abort on the first report (their options are built
# in), so any report fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" "${SANITIZER_PACKAGES[@]}"

echo "== build-asan"
build_tool build-asan -DCMAKE_CXX_COMPILER=clang++-14 -DLINKDATA_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j"$(nproc)")

# A data race can only happen where threads share memory, so ThreadSanitizer
# gets the suites that run code on several threads at once, in this process
# or in the tool they start, and none of the single-threaded rest (format
# parsing, journal records, crash play-back, faults, listings), whose memory
# errors the build above catches:
# - WorkerPool, SplitDecode, ParallelEncode, OneCpuAndAllCpus: the worker pool
#   itself, piecewise decoding and block-parallel encoding on it, and export
#   and import on all CPUs against one CPU;
# - Export: entries read and decoded on the pool's threads while the calling
#   thread writes the files;
# - Import, CodecEncode: blocks compressed on every CPU, the next loose file
#   prepared ahead on the pool, and groups of entries written by the group
#   commit's own thread while the next group is prepared;
# - Journal's group-commit cases: commits shared by several entries, memory
#   running out and writes failing on the writer thread;
# - PictureExport, TextureImport: pictures decoded and written on the pool,
#   texture blocks encoded in bands, one thread each;
# - PlatformLock, ArchiveLock: locks taken by several handles and runs of the
#   tool started beside a large import of the same archive.
threaded='^(WorkerPool|SplitDecode|ParallelEncode|OneCpuAndAllCpus|Export|Import|CodecEncode'
threaded+='|PictureExport|TextureImport|PlatformLock|ArchiveLock)\.'
threaded+='|^Journal\.(InPlaceEntriesShareCommits|OutOfMemoryOnTheWriterThread'
threaded+='|FailedWriteNeverUndoesAnEntryWhoseLineWasShown)$'
echo "== build-tsan"
# Only the test program and the tools it runs (the fuzz targets, guide page
# and benchmarks are not tested here).
configure build-tsan -DCMAKE_CXX_COMPILER=clang++-14 -DLINKDATA_SANITIZE_THREADS=ON
cmake --build build-tsan -j"$(nproc)" --target linkdata_tests
(cd build-tsan && ctest --output-on-failure -j"$(nproc)" -R "$threaded")
