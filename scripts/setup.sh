#!/usr/bin/env bash
# One command on a fresh machine with a C++23 compiler and CPython 3.12: .venv
# with morvend built (its build requirements from PyPI) and installed with the
# test and dask extras, then the quickstart example. No system package is installed.
set -euo pipefail
source "$(dirname "$0")/env.sh"
ensure_compiler
ensure_venv
install_package
"$VENV/bin/python" "$MORVEND_ROOT/examples/quickstart.py"
