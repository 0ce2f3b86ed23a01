#!/usr/bin/env bash
# Runs a command with the system's oneTBB, Boost and nlohmann/json hidden from
# it (headers, CMake packages and the libtbb runtime), as on a machine without
# libtbb-dev, libboost-dev and nlohmann-json3-dev: a build that still succeeds
# took them from PyPI. Needs root (a private mount namespace); the rest of the
# machine does not see the change.
#   bash scripts/without_system_deps.sh bash scripts/wheel.sh
set -euo pipefail

if [ "${MORVEND_SYSTEM_DEPS_HIDDEN:-}" != 1 ]; then
  exec env MORVEND_SYSTEM_DEPS_HIDDEN=1 unshare --mount --propagation private -- bash "$0" "$@"
fi

empty_dir="$(mktemp -d)"
empty_file="$(mktemp)"
hidden=()
lib=/usr/lib/x86_64-linux-gnu
shopt -s nullglob
for d in /usr/include/boost /usr/include/nlohmann /usr/include/tbb /usr/include/oneapi \
         /usr/local/include/boost /usr/local/include/nlohmann /usr/local/include/tbb \
         /usr/local/include/oneapi \
         "$lib"/cmake/TBB "$lib"/cmake/Boost-* "$lib"/cmake/boost_* /usr/lib/cmake/TBB \
         /usr/share/cmake/nlohmann_json /usr/lib/cmake/nlohmann_json "$lib"/cmake/nlohmann_json; do
  [ -d "$d" ] || continue
  mount --bind "$empty_dir" "$d"
  hidden+=("$d")
done
# An empty file where libtbb was: the loader fails on it rather than falling
# back to another copy, so any use of the system's runtime shows.
for f in "$lib"/libtbb*.so* /usr/lib/libtbb*.so* /usr/local/lib/libtbb*.so*; do
  [ -e "$f" ] || continue
  mount --bind "$empty_file" "$f"
  hidden+=("$f")
done
echo "hidden from this run: ${hidden[*]:-(nothing was installed)}" >&2
"$@"
