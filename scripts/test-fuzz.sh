#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each one for a bounded time, starting from seed corpora
# made from the sample archive. Any crash, leak, sanitizer report, time-out or
# out-of-memory fails the run. FUZZ_SECONDS sets the time per target: 20 s by
# default, which keeps the stage to a few minutes in every run of ./test.sh
# (the corpora grow from run to run in a kept checkout); FUZZ_SECONDS=3600
# searches longer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" clang-14 libclang-rt-14-dev
seconds="${FUZZ_SECONDS:-20}"
dir="$PWD/build-fz"
targets=(decode container examine export import dds_reader inflate_diff png_import originals deflate_diff mods gallery_notes)
# The targets and their seeds only: the tool itself is never run here.
configure "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DLINKDATA_FUZZ=ON -DLINKDATA_TESTS=OFF
cmake --build "$dir" -j"$(nproc)" --target fuzz_seeds "${targets[@]/#/fuzz_}"

# Largest input per target: the decoder re-encodes every input at level 9, so
# it gets smaller ones; the others take archives, containers and chunks of a few
# pages.
declare -A max_len=([decode]=16384 [container]=65536 [examine]=65536 [export]=65536 [import]=65536 [dds_reader]=65536 [inflate_diff]=65536 [png_import]=16384 [originals]=65536
  [deflate_diff]=65536 [mods]=65536 [gallery_notes]=4096)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for target in "${targets[@]}"; do
  corpus="$dir/fuzz/corpus/$target"
  artifacts="$dir/fuzz/artifacts"
  log="$dir/fuzz/$target.log"
  mkdir -p "$corpus" "$artifacts"
  # Absolute paths: the export and import targets work in a folder of their own.
  if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -max_len="${max_len[$target]}" -print_final_stats=1 \
      -artifact_prefix="$artifacts/$target-" "$corpus" "$dir/fuzz/seeds/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: ${runs:-?} executions in ${seconds} s, no failure"
  else
    echo "fuzz_$target FAILED; the end of its log ($log):"
    tail -n 60 "$log"
    failed=1
  fi
done
exit "$failed"
