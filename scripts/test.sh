#!/usr/bin/env bash
# Every test: the C++ tests (optimised, then under ASan/UBSan) and pytest
# against the installed module. Installs what is missing first.
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

"$VENV/bin/python" -m pytest
