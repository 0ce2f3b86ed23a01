#!/usr/bin/env bash
# A wheel on CPython 3.MINOR inside the Debian root of scripts/debian_root.sh
# (3.14 and 3.15, which this system lacks): as scripts/test_wheel.sh does on
# the system's interpreters, a fresh virtual environment there installs the
# wheel with its test extra and runs pytest (all but the soak test), stubtest
# and mypy on the examples, with nothing from the checkout but the tests.
# Needs root: the chroot and its mounts live in a private mount namespace.
#   bash scripts/test_wheel_in_root.sh MINOR WHEEL
set -euo pipefail
source "$(dirname "$0")/env.sh"

if [ "${MORVEND_IN_NAMESPACE:-}" != 1 ]; then
  minor="$1"
  wheel="$(realpath "$2")"
  root="$(bash "$MORVEND_ROOT/scripts/debian_root.sh" | tail -n 1)"
  exec env MORVEND_IN_NAMESPACE=1 unshare --mount --propagation private -- \
    bash "$0" "$minor" "$wheel" "$root"
fi
minor="$1"
wheel="$2"
root="$3"

# What the tests need of a running system, and the checkout's tests and
# examples, the wheel and pip's cache at fixed places.
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/dev/shm"
mount -t tmpfs tmpfs "$root/tmp"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# This system's certificate authorities, which may include a proxy's.
cp "${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}" "$root/tmp/ca-certificates.crt"
mkdir -p "$root/morvend" "$root/wheels" "$root/pip-cache" "$HOME/.cache/pip"
mount --bind -o ro "$MORVEND_ROOT" "$root/morvend"
mount --bind "$(dirname "$wheel")" "$root/wheels"
mount --bind "$HOME/.cache/pip" "$root/pip-cache"

# A clean environment: this system's pip settings name places the root has not.
env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb PYTHONDONTWRITEBYTECODE=1 \
  PIP_CACHE_DIR=/pip-cache PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
  PIP_CERT=/tmp/ca-certificates.crt SSL_CERT_FILE=/tmp/ca-certificates.crt \
  "$(command -v chroot)" "$root" /bin/bash -euo pipefail -c '
minor="$1"
wheel="/wheels/$2"
venv="/tmp/venv-3.$minor"
"python3.$minor" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$wheel[test]"
cd "$venv"
"$venv/bin/python" -c "import morvend, sys; print(f\"testing {morvend.__file__} on Python {sys.version.split()[0]}\")"
"$venv/bin/python" -m pytest -c /morvend/pyproject.toml --rootdir /morvend -p no:cacheprovider \
  -m "not soak" /morvend/tests/python
"$venv/bin/python" -m mypy.stubtest morvend
"$venv/bin/python" -m mypy --strict --config-file /morvend/pyproject.toml \
  --cache-dir "$venv/.mypy_cache" /morvend/examples
' bash "$minor" "$(basename "$wheel")"
