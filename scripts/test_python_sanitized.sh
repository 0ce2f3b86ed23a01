#!/usr/bin/env bash
# pytest once more, against a copy of the module built with ASan and UBSan
# (GCC) in build/cpp-sanitize, beside the sanitized C++ tests; the module
# installed in .venv is left alone. The soak test and the coverage statistics,
# which find no memory fault that the other tests miss, are left to the runs
# without sanitizers (scripts/test.sh).
# Any sanitizer report, from pytest or from a process a test starts, fails the
# run. Needs .venv (scripts/setup.sh or scripts/test.sh) for the build; pytest
# runs in an environment of its own with the test extra only (below).
set -euo pipefail
source "$(dirname "$0")/env.sh"

if ! "$VENV/bin/python" -c 'import pytest' 2>/dev/null; then
  echo "no .venv with pytest: run scripts/setup.sh first" >&2
  exit 1
fi
# oneTBB, Boost and nlohmann/json for this build: the PyPI copies in .venv.
install_build_requirements
PATH="$VENV/bin:$PATH"
cd "$MORVEND_ROOT"

# The interpreter is not instrumented, so the ASan runtime is preloaded below;
# it has to be the one of the compiler that built the module.
cxx="${MORVEND_SANITIZE_CXX:-g++}"
build="$MORVEND_ROOT/build/cpp-sanitize"
use_ccache
sanitize_tree
cmake --build "$build" -j "$(nproc)" --target morvend

modules=("$build"/morvend.abi3.so)
if [ ${#modules[@]} -ne 1 ] || [ ! -f "${modules[0]}" ]; then
  echo "expected one module in $build, found: ${modules[*]}" >&2
  exit 1
fi
module="${modules[0]}"

if ! readelf -d "$module" | grep -q 'NEEDED.*libasan'; then
  echo "$module is not linked with ASan: is MORVEND_SANITIZE applied to it?" >&2
  exit 1
fi

# The test extra only, as in the wheel test: the dask extra in .venv brings
# matplotlib, whose ft2font throws C++ exceptions that the preloaded ASan
# runtime cannot pass on ("CHECK failed ... real___cxa_throw"), and Dask
# workers, whose threads LSan reports as leaks at exit. Without them the
# examples skip their charts and tests/python/test_dask.py skips. The
# pure-Python morvend_tools comes from the source tree (python/).
python="$build/venv/bin/python"
[ -x "$python" ] || "$(find_python)" -m venv "$build/venv"
"$python" -m pip install --quiet --upgrade pip
install_extra_requirements "$python" test
# The installed package's metadata (its version, which a test compares with
# morvend.__version__), without its module: the sanitized build on PYTHONPATH
# is the one imported.
purelib() { "$1" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])'; }
rm -rf "$(purelib "$python")"/morvend-*.dist-info
cp -r "$(purelib "$VENV/bin/python")"/morvend-*.dist-info "$(purelib "$python")"/

# ASan and LSan reports go to files, so that those of child processes whose
# stderr a test captures are not lost. UBSan ignores log_path beside libasan
# and prints to stderr: --capture=sys leaves fd 2 to the terminal. The exit
# codes tell the two apart when a test reports a child's status.
# PYTHONMALLOC=malloc: Python objects go through ASan's malloc, not pymalloc's
# arenas, where overflows and use-after-free would go unseen.
# libubsan needs no preloading: the module's DT_NEEDED loads it.
# intercept_tls_get_addr=0: up to GCC 13, libasan's __tls_get_addr hook takes
# a dynamic TLS block (of a dlopen'd module: ours, numpy's) that starts 16
# bytes past a page boundary for one of glibc 2.19 to 2.24, which had a header
# there, and hands LSan the two words before it as a range to scan; at exit
# LSan's tracer then crashes now and then ("Tracer caught signal 11"), with no
# leak. Without the hook those blocks are still heap blocks reachable from
# each thread's DTV, so leaks held through them are still seen.
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
env \
  LD_PRELOAD="$("$cxx" -print-file-name=libasan.so)" \
  PYTHONMALLOC=malloc \
  PYTHONPATH="$build:$MORVEND_ROOT/python:$MORVEND_ROOT/tests/sanitizers" \
  MORVEND_SANITIZED_MODULE="$module" \
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:intercept_tls_get_addr=0:log_path=$reports/asan" \
  LSAN_OPTIONS="suppressions=$MORVEND_ROOT/tests/sanitizers/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:report_error_type=1:exitcode=87" \
  "$python" -m pytest -p check_sanitized_module -p no:cacheprovider --capture=sys \
  -m 'not soak and not statistics' \
  || status=$?

shopt -s nullglob
logs=("$reports"/*)
for log in "${logs[@]}"; do
  echo "===== $log" >&2
  cat "$log" >&2
done
if [ ${#logs[@]} -ne 0 ]; then
  echo "ASan/LSan reported (above), pytest exit status $status" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "pytest under sanitizers failed with status $status (86: ASan/LSan, 87: UBSan)" >&2
  exit "$status"
fi
