# Shared by the scripts: the compiler check, the C++ tests' system packages,
# the Python interpreters, the virtual environment. Sourced, not run.

MORVEND_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$MORVEND_ROOT/.venv"
# Builds use at most as many jobs as there are cores.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

# FUZZ_CXX: the compiler of the libFuzzer harnesses. Clang 14 reports an old
# __cpp_concepts, which hides libstdc++'s std::expected; Clang 19, packaged
# for Debian 12 and 13, does not.
FUZZ_CXX="${MORVEND_FUZZ_CXX:-clang++-19}"

# ensure_compiler: building the module needs a C++23 compiler and nothing else
# from the system (GCC 12 or newer; the libraries come from PyPI).
ensure_compiler() {
  local cxx="${CXX:-g++}"
  if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "morvend needs a C++23 compiler (GCC 12 or newer): install g++ or set CXX" >&2
    return 1
  fi
}

# ensure_test_packages: what the C++ tests add (Debian): GoogleTest and
# GoogleMock, Clang 19 with its libFuzzer runtime for the fuzz run, ccache
# (use_ccache) and GCC 11, the compiler scripts/check_configure.sh expects the
# build to refuse. oneTBB, Boost and nlohmann/json come from PyPI into .venv
# (install_build_requirements).
ensure_test_packages() {
  local missing=()
  for p in g++ libgtest-dev libgmock-dev clang-19 libclang-rt-19-dev ccache g++-11; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# use_ccache: every compiler call of the builds below through ccache, when it is
# installed. A test run compiles the same core for several configurations and
# interpreters, and the next run, in a fresh clone too, finds most of it done:
# paths under the checkout are hashed relative to it and the build directory is
# left out of the hash, so the build trees and the builds of the module need
# fixed places inside the checkout (install_package, scripts/wheel.sh).
use_ccache() {
  command -v ccache >/dev/null 2>&1 || return 0
  # One name for the compiler in every build (CMake's default is c++, pip's
  # build g++): ccache tells them apart.
  export CXX="${CXX:-g++}"
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
  export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/morvend-ccache}"
  export CCACHE_BASEDIR="$MORVEND_ROOT"
  export CCACHE_NOHASHDIR=true
}

# find_python [MINOR]: a CPython 3.MINOR interpreter, 3.12 by default
# (MORVEND_PYTHON overrides the default one).
find_python() {
  local minor="${1:-12}"
  if [ "$minor" = 12 ] && [ -n "${MORVEND_PYTHON:-}" ]; then echo "$MORVEND_PYTHON"; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v="$(pyenv versions --bare 2>/dev/null | grep -E "^3\.$minor(\.[0-9]+)?\$" | tail -n 1)"
    if [ -n "$v" ] && [ -x "$(pyenv root)/versions/$v/bin/python3.$minor" ]; then
      echo "$(pyenv root)/versions/$v/bin/python3.$minor"
      return
    fi
  fi
  if "python3.$minor" -c 'pass' >/dev/null 2>&1; then command -v "python3.$minor"; return; fi
  echo "no CPython 3.$minor found (pyenv install 3.$minor, or put python3.$minor on PATH)" >&2
  return 1
}

# ensure_venv: .venv with Python 3.12 and the build tools (cmake, ninja).
ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
  "$VENV/bin/python" -m pip install --quiet "cmake>=3.26" ninja
}

# install_build_requirements [PYTHON]: pyproject.toml's build-system.requires
# into PYTHON's environment (.venv's by default), for builds without pip's
# isolation: the C++ test builds find them with -DPython_EXECUTABLE=PYTHON.
install_build_requirements() {
  local python="${1:-$VENV/bin/python}" reqs
  mapfile -t reqs < <("$python" -c 'import sys, tomllib
print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["build-system"]["requires"]))' \
    "$MORVEND_ROOT/pyproject.toml")
  "$python" -m pip install --quiet "${reqs[@]}"
}

# show_dependency_origins LOG: the configure lines of a build log that name
# the copy of each dependency the build used.
show_dependency_origins() {
  grep -E -- '-- morvend: ' "$1" | sed 's/^ *//' || true
}

# sanitize_tree: configures build/cpp-sanitize, the C++ tests and the module
# built with ASan and UBSan (GCC unless MORVEND_SANITIZE_CXX says otherwise),
# against the PyPI copies of the dependencies in .venv.
sanitize_tree() {
  cmake -S "$MORVEND_ROOT" -B "$MORVEND_ROOT/build/cpp-sanitize" -G Ninja \
    -DMORVEND_BUILD_PYTHON=ON -DMORVEND_BUILD_TESTS=ON -DMORVEND_SANITIZE=ON \
    -DCMAKE_CXX_COMPILER="${MORVEND_SANITIZE_CXX:-g++}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$VENV/bin/python"
}

# install_extra_requirements PYTHON EXTRA: the packages of one of
# pyproject.toml's optional-dependencies into PYTHON's environment, without
# morvend itself.
install_extra_requirements() {
  local python="$1" extra="$2" reqs
  mapfile -t reqs < <("$python" -c 'import sys, tomllib
print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"][sys.argv[2]]))' \
    "$MORVEND_ROOT/pyproject.toml" "$extra")
  "$python" -m pip install --quiet "${reqs[@]}"
}

# install_package: builds and installs morvend with its test, dask and
# examples extras into .venv (so that tests/python/test_dask.py and every
# example run there).
# The build requirements go into .venv first and the build uses them there, in
# build/module, which the next install reuses.
install_package() {
  local log="$MORVEND_ROOT/build/pip-install.log"
  mkdir -p "$MORVEND_ROOT/build"
  install_build_requirements
  if ! "$VENV/bin/python" -m pip install --verbose --no-build-isolation \
      -C "build-dir=$MORVEND_ROOT/build/module" "$MORVEND_ROOT[test,dask,examples]" > "$log" 2>&1; then
    tail -n 200 "$log" >&2
    echo "pip install failed: $log" >&2
    return 1
  fi
  show_dependency_origins "$log"
}
