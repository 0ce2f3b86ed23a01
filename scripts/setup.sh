#!/usr/bin/env bash
# One command on a fresh machine: system packages, .venv with morvend built and
# installed, then the quickstart example.
set -euo pipefail
source "$(dirname "$0")/env.sh"
ensure_system_packages
ensure_venv
install_package
"$VENV/bin/python" "$MORVEND_ROOT/examples/quickstart.py"
