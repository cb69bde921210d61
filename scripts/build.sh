#!/usr/bin/env bash
# Configures (once) and builds one build directory.
#   scripts/build.sh [--sanitize] [BUILD_DIR] [ninja targets...]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake_args=()
if [ "${1:-}" = "--sanitize" ]; then
  cmake_args+=(-DDIRSYNC_SANITIZE=ON -DDIRSYNC_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
  shift
  build_dir="${1:-build-asan}"
else
  build_dir="${1:-build}"
fi
[ $# -gt 0 ] && shift

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -G Ninja -S . -B "$build_dir" "${cmake_args[@]}"
fi
ninja -C "$build_dir" "$@"
