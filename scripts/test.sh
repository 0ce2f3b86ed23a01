#!/usr/bin/env bash
# Every test: the C++ tests (optimised, then under ASan/UBSan), the
# configure-time refusals, a minute of fuzzing of the JSON readers, then the
# wheel (scripts/wheel.sh), its seeded results checked against those of the
# module built from source, installed in .venv (CPython 3.12) for pytest,
# stubtest and mypy, pytest again against a build of the module under
# ASan/UBSan, and the same wheel on CPython 3.13, 3.14 and 3.15, each in a
# fresh virtual environment (scripts/test_wheel.sh). Installs what is missing
# first; prints each step's time and the total.
set -euo pipefail
source "$(dirname "$0")/env.sh"

# Each step's time, printed as it ends, and the total at the end of the run
# (also when it fails).
step_start=$SECONDS
step() {
  local now=$SECONDS
  printf '== %4d s  %s\n' "$((now - step_start))" "$1" >&2
  step_start=$now
}
trap 'status=$?; printf "== total %d s (%d min %d s), exit status %d\n" "$SECONDS" \
  "$((SECONDS / 60))" "$((SECONDS % 60))" "$status" >&2' EXIT

ensure_test_packages
use_ccache
ensure_venv
install_package
step "the module installed in .venv"
bash "$MORVEND_ROOT/scripts/check_configure.sh"
step "configure-time refusals"

PATH="$VENV/bin:$PATH"
cd "$MORVEND_ROOT"
jobs="$(nproc)"
# The C++ builds take oneTBB, Boost and nlohmann/json from .venv, the copies
# the module is built with.
deps=(-DPython_EXECUTABLE="$VENV/bin/python")

cmake -S . -B build/cpp -G Ninja -DMORVEND_BUILD_PYTHON=OFF -DMORVEND_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release "${deps[@]}"
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"
step "C++ tests"

# One sanitized tree for the C++ tests and the module that
# scripts/test_python_sanitized.sh tests, which configures it the same way.
sanitize_tree
cmake --build build/cpp-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/cpp-sanitize --output-on-failure -j "$jobs"
step "C++ tests under ASan/UBSan"

# libFuzzer with ASan/UBSan: new inputs go to build/, the committed seeds stay
# as they are.
cmake -S . -B build/fuzz -G Ninja -DMORVEND_BUILD_PYTHON=OFF -DMORVEND_BUILD_FUZZ=ON \
  -DMORVEND_SANITIZE=ON -DCMAKE_CXX_COMPILER="$FUZZ_CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${deps[@]}"
cmake --build build/fuzz -j "$jobs" --target json_readers_fuzz
mkdir -p build/fuzz/corpus
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build/fuzz/tests/fuzz/json_readers_fuzz build/fuzz/corpus tests/fuzz/corpus \
  -dict=tests/fuzz/json.dict -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1
step "fuzzing"

# The wheel as users get it: built once (scripts/wheel.sh), one cp312-abi3
# wheel for CPython 3.12 and later. It replaces the module built from source
# in .venv for the run with the Dask tests and the soak test (the other runs
# deselect the soak test), then every other CPython gets it in a fresh
# environment (scripts/test_wheel.sh).
# Seeded results must not depend on the compiler: the module built from
# source and the wheel give the same numbers to the bit.
"$VENV/bin/python" scripts/seeded_results.py > build/seeded-source.txt
bash "$MORVEND_ROOT/scripts/wheel.sh" 12
wheel="$(cat "$MORVEND_ROOT/build/wheel-3.12/wheel.path")"
"$VENV/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
"$VENV/bin/python" scripts/seeded_results.py > build/seeded-wheel.txt
cmp build/seeded-source.txt build/seeded-wheel.txt
step "the wheel built and installed in .venv, its seeded results the source build's"

# MORVEND_REQUIRE_DASK=1: tests/python/test_dask.py fails instead of skipping
# when distributed is missing, so this run cannot pass without it.
MORVEND_REQUIRE_DASK=1 "$VENV/bin/python" -m pytest
step "pytest (CPython 3.12)"
# The stub against the module, type checkers against the examples through
# the installed stub package, and morvend_tools, typed inline.
"$VENV/bin/python" -m mypy.stubtest morvend
"$VENV/bin/python" -m mypy --strict examples/
# The companion package as installed, py.typed and all.
"$VENV/bin/python" -m mypy --strict -p morvend_tools
step "stubtest and mypy"
bash "$MORVEND_ROOT/scripts/test_python_sanitized.sh"
step "pytest under ASan/UBSan"

for minor in 13 14 15; do
  MORVEND_WHEEL="$wheel" bash "$MORVEND_ROOT/scripts/test_wheel.sh" "$minor"
  step "the wheel on CPython 3.$minor"
done
