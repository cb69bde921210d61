#!/usr/bin/env bash
# Configures (once) and builds one build directory.
#   scripts/build.sh [--sanitize | --thread-safety] [BUILD_DIR] [ninja targets...]
# --sanitize: AddressSanitizer and UndefinedBehaviorSanitizer (Debug).
# --thread-safety: clang with -Wthread-safety as errors, the server alone.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake_args=()
cmake_env=()
if [ "${1:-}" = "--sanitize" ]; then
  cmake_args+=(-DDIRSYNC_SANITIZE=ON -DDIRSYNC_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
  shift
  build_dir="${1:-build-asan}"
elif [ "${1:-}" = "--thread-safety" ]; then
  cmake_args+=(-DDIRSYNC_THREAD_SAFETY=ON -DDIRSYNC_BUILD_TESTS=OFF -DDIRSYNC_BUILD_BENCH=OFF)
  cmake_env+=(CC=clang CXX=clang++)
  shift
  build_dir="${1:-build-tsa}"
else
  build_dir="${1:-build}"
fi
[ $# -gt 0 ] && shift

if [ ! -f "$build_dir/build.ninja" ]; then
  env "${cmake_env[@]}" cmake -G Ninja -S . -B "$build_dir" "${cmake_args[@]}"
fi
ninja -C "$build_dir" "$@"
