#!/usr/bin/env bash
# Builds the tool and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/setup.sh

# Every stage's packages at once: the Windows stage runs beside the sanitized
# one, and two installs at a time would fight over the package lock.
need_packages "${BASE_PACKAGES[@]}" imagemagick clang-format chromium "${SANITIZER_PACKAGES[@]}" \
  "${WINDOWS_PACKAGES[@]}"

stage() {  # stage NAME COMMAND...: runs it, then its line with wall time and CPU time
  local name="$1" started=$SECONDS
  shift
  (
    "$@"
    # The user and system time of the stage's processes, in clock ticks of
    # 1/100 s, as the kernel keeps it for this shell (`times` run in $(...)
    # or a pipe would count only its own copy's children).
    read -r -a stat <"/proc/$BASHPID/stat"
    echo "== $name passed in $((SECONDS - started)) s ($(((stat[15] + stat[16] + 50) / 100)) CPU-seconds)"
  )
}
unit_tests() {
  bash scripts/check-format.sh
  echo "== every C++ source is formatted as .clang-format says"
  bash scripts/check-floors.sh
  build_tool build
  (cd build && ctest --output-on-failure -j"$(nproc)")
}

started=$SECONDS
stage "format, build, unit and end-to-end tests" unit_tests

# Further suites, each a script of its own. The Windows suite runs beside the
# sanitized one: much of its time goes to starting Wine processes one at a
# time, and the sanitized one waits on its own flushes and child processes,
# so together they keep both CPUs busy. They share no folder: build-win/ and
# a Wine prefix of its own there, build-asan/ and build-tsan/ here, each
# test's scratch folder its own. Its output is shown whole once it ends. The
# fuzz targets run last, alone: each runs for a fixed time, and what it finds
# in that time should not depend on what else runs.
mkdir -p build-win
windows_log=build-win/test-windows.log
set -m  # the Windows suite in a process group of its own, so that it can be stopped whole
stage scripts/test-windows.sh bash scripts/test-windows.sh </dev/null >"$windows_log" 2>&1 &
windows=$!
set +m
trap 'kill -- -"$windows" 2>/dev/null || true' EXIT
echo "== scripts/test-windows.sh started beside the sanitized suite (its output: $windows_log)"

stage scripts/test-sanitized.sh bash scripts/test-sanitized.sh
windows_status=0
wait "$windows" || windows_status=$?
trap - EXIT
cat "$windows_log"
[ "$windows_status" -eq 0 ] || {
  echo "== scripts/test-windows.sh FAILED"
  exit 1
}

stage scripts/test-fuzz.sh bash scripts/test-fuzz.sh
echo "== all tests passed in $((SECONDS - started)) s"
