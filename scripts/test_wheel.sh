#!/usr/bin/env bash
# The portable wheel as a user gets it: scripts/wheel.sh builds and repairs it
# with CPython 3.12 (one cp312-abi3 wheel serves every later version), unless
# MORVEND_WHEEL names one already built; then a fresh virtual environment of
# CPython 3.MINOR installs it with its test extra (nothing from this checkout
# but the tests) and runs pytest (all but the soak test, which scripts/test.sh
# runs once), stubtest and mypy on the examples there. A CPython this system
# lacks (3.14, 3.15 on Debian 12) is taken from a Debian unstable root
# (scripts/test_wheel_in_root.sh, which needs root).
#   bash scripts/test_wheel.sh [MINOR]     # 3.13 by default
set -euo pipefail
source "$(dirname "$0")/env.sh"
minor="${1:-13}"

wheel="${MORVEND_WHEEL:-}"
if [ -z "$wheel" ]; then
  bash "$MORVEND_ROOT/scripts/wheel.sh" 12
  wheel="$(cat "$MORVEND_ROOT/build/wheel-3.12/wheel.path")"
fi
if ! find_python "$minor" >/dev/null 2>&1; then
  exec bash "$MORVEND_ROOT/scripts/test_wheel_in_root.sh" "$minor" "$wheel"
fi
venv="$MORVEND_ROOT/build/wheel-3.$minor/test-venv"
rm -rf "$venv"
"$(find_python "$minor")" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet "$wheel[test]"

# Run from outside the checkout, so that nothing but the installed wheel can
# be imported as morvend.
cd "$venv"
"$venv/bin/python" -c 'import morvend, sys; print(f"testing {morvend.__file__} on Python {sys.version.split()[0]}")'
"$venv/bin/python" -m pytest -c "$MORVEND_ROOT/pyproject.toml" --rootdir "$MORVEND_ROOT" \
  -p no:cacheprovider -m 'not soak' "$MORVEND_ROOT/tests/python"
"$venv/bin/python" -m mypy.stubtest morvend
"$venv/bin/python" -m mypy --strict --config-file "$MORVEND_ROOT/pyproject.toml" \
  --cache-dir "$venv/.mypy_cache" "$MORVEND_ROOT/examples"
