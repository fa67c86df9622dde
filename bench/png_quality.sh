#!/usr/bin/env bash
# Quality and speed of the block compression that PNG import uses, against
# libsquish's iterative cluster fit (linked by this benchmark only) and
# stb_dxt: PSNR of each painted picture after compression and the tool's own
# decoding, and seconds per megapixel on one thread. Exits 1 when a picture
# falls more than 0.3 dB below libsquish (--check DB changes the margin).
#
#   bench/png_quality.sh [--check DB]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
need_packages "${BASE_PACKAGES[@]}" libsquish-dev
configure build-bench
cmake --build build-bench -j"$(nproc)" --target png_quality >/dev/null
# One CPU: the encoders run on one thread each.
ONE=$(taskset -pc $$ | sed 's/.*: *//; s/[,-].*//')
exec taskset -c "$ONE" build-bench/png_quality "$@"
