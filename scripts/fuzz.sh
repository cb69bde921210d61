#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for a
# while (default 60 seconds) from the seed corpus in fuzz/corpus.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

build_dir=build-fuzz
if [ ! -f "$build_dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -G Ninja -S fuzz -B "$build_dir"
fi
ninja -C "$build_dir" frame_fuzzer

# New inputs go to a scratch corpus; the seeds in git stay as they are.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build_dir/bin/frame_fuzzer" -max_total_time="$seconds" -max_len=20000 \
  -rss_limit_mb=4096 -print_final_stats=1 "$work" fuzz/corpus
