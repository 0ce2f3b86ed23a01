#!/usr/bin/env bash
# Every test: the C++ tests (optimised, then under ASan/UBSan), a minute of
# fuzzing of the JSON readers, pytest against the installed module, then
# pytest again against a build of the module under ASan/UBSan.
# Installs what is missing first.
set -euo pipefail
source "$(dirname "$0")/env.sh"
ensure_system_packages
ensure_venv
install_package

PATH="$VENV/bin:$PATH"
cd "$MORVEND_ROOT"
jobs="$(nproc)"

cmake -S . -B build/cpp -G Ninja -DMORVEND_BUILD_PYTHON=OFF -DMORVEND_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

cmake -S . -B build/cpp-sanitize -G Ninja -DMORVEND_BUILD_PYTHON=OFF -DMORVEND_BUILD_TESTS=ON \
  -DMORVEND_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/cpp-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/cpp-sanitize --output-on-failure -j "$jobs"

# libFuzzer with ASan/UBSan: new inputs go to build/, the committed seeds stay
# as they are.
cmake -S . -B build/fuzz -G Ninja -DMORVEND_BUILD_PYTHON=OFF -DMORVEND_BUILD_FUZZ=ON \
  -DMORVEND_SANITIZE=ON -DCMAKE_CXX_COMPILER="$FUZZ_CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/fuzz -j "$jobs" --target json_readers_fuzz
mkdir -p build/fuzz/corpus
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build/fuzz/tests/fuzz/json_readers_fuzz build/fuzz/corpus tests/fuzz/corpus \
  -dict=tests/fuzz/json.dict -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1

"$VENV/bin/python" -m pytest
bash "$MORVEND_ROOT/scripts/test_python_sanitized.sh"
