#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each one for a bounded time, starting from seed corpora
# made from the sample archive. Any crash, leak, sanitizer report, time-out or
# out-of-memory fails the run. FUZZ_SECONDS sets the time per target: 20 s by
# default, which keeps the stage to a few minutes in every run of ./test.sh
# (the corpora grow from run to run in a kept checkout); FUZZ_SECONDS=3600
# searches longer. libFuzzer runs on one thread, so FUZZ_JOBS targets (one
# per CPU by default) run at a time, each with its own corpus, log and
# working folder; each still gets its FUZZ_SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh

need_packages "${BASE_PACKAGES[@]}" "${SANITIZER_PACKAGES[@]}"
seconds="${FUZZ_SECONDS:-20}"
jobs="${FUZZ_JOBS:-$(nproc)}"
dir="$PWD/build-fz"
targets=(decode container examine export import dds_reader inflate_diff png_import originals deflate_diff mods gallery_notes)
# The targets only: the tool itself is never run here.
configure "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DLINKDATA_FUZZ=ON -DLINKDATA_TESTS=OFF
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

# The seeds are data: the plain build's sample tool writes the sample archive
# and fuzz_make_seeds cuts it into each target's seeds (./test.sh has built
# build/ already; the two tools are built there, once).
[ -f build/CMakeCache.txt ] || configure build
cmake --build build -j"$(nproc)" --target linkdata-sample fuzz_make_seeds
rm -rf "$dir/fuzz/sample"
build/linkdata-sample "$dir/fuzz/sample" A
build/fuzz_make_seeds "$dir/fuzz/sample/LINKDATA_EU_OS_EUNA.A" "$dir/fuzz/seeds"

# Largest input per target: the decoder re-encodes every input at level 9, so
# it gets smaller ones; the others take archives, containers and chunks of a few
# pages.
declare -A max_len=([decode]=16384 [container]=65536 [examine]=65536 [export]=65536 [import]=65536 [dds_reader]=65536 [inflate_diff]=65536 [png_import]=16384 [originals]=65536
  [deflate_diff]=65536 [mods]=65536 [gallery_notes]=4096)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

fuzz_one() {  # fuzz_one TARGET: runs it; its log and its outcome go to files of its own
  local target="$1" corpus="$dir/fuzz/corpus/$1" artifacts="$dir/fuzz/artifacts"
  local log="$dir/fuzz/$1.log"
  mkdir -p "$corpus" "$artifacts"
  # Absolute paths: the export and import targets work in a folder of their own.
  if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -max_len="${max_len[$target]}" -print_final_stats=1 \
      -artifact_prefix="$artifacts/$target-" "$corpus" "$dir/fuzz/seeds/$target" >"$log" 2>&1; then
    echo passed >"$dir/fuzz/$target.outcome"
  else
    echo failed >"$dir/fuzz/$target.outcome"
  fi
}

running=0
for target in "${targets[@]}"; do
  rm -f "$dir/fuzz/$target.outcome"
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

failed=0
for target in "${targets[@]}"; do
  log="$dir/fuzz/$target.log"
  if [ "$(cat "$dir/fuzz/$target.outcome" 2>/dev/null)" = passed ]; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: ${runs:-?} executions in ${seconds} s, no failure"
  else
    echo "fuzz_$target FAILED; the end of its log ($log):"
    tail -n 60 "$log"
    failed=1
  fi
done
exit "$failed"
