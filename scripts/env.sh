# Shared by setup.sh and test.sh: system packages, Python 3.12, the virtual
# environment. Sourced, not run.

MORVEND_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$MORVEND_ROOT/.venv"

# boost_ok: Boost headers of 1.81 or newer (for unordered_flat_map).
boost_ok() {
  local v
  v="$(sed -n 's/^#define BOOST_VERSION \([0-9]*\).*/\1/p' /usr/include/boost/version.hpp 2>/dev/null)"
  [ -n "$v" ] && [ "$v" -ge 108100 ]
}

# FUZZ_CXX: the compiler of the libFuzzer harnesses. Clang 14 reports an old
# __cpp_concepts, which hides libstdc++'s std::expected; Clang 19, packaged
# for Debian 12 and 13, does not.
FUZZ_CXX="${MORVEND_FUZZ_CXX:-clang++-19}"

# ensure_system_packages: the compilers and libraries the build needs (Debian).
ensure_system_packages() {
  local missing=()
  for p in g++ nlohmann-json3-dev libtbb-dev libgtest-dev clang-19 libclang-rt-19-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  boost_ok || missing+=(boost)
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  # Debian 12 packages Boost 1.81 separately; Debian 13's default is newer.
  local boost=libboost-dev
  apt-cache show libboost1.81-dev >/dev/null 2>&1 && boost=libboost1.81-dev
  missing=("${missing[@]/#boost/$boost}")
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# find_python: a CPython 3.12 interpreter (MORVEND_PYTHON overrides).
find_python() {
  if [ -n "${MORVEND_PYTHON:-}" ]; then echo "$MORVEND_PYTHON"; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v="$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | tail -n 1)"
    if [ -n "$v" ] && [ -x "$(pyenv root)/versions/$v/bin/python3.12" ]; then
      echo "$(pyenv root)/versions/$v/bin/python3.12"
      return
    fi
  fi
  if python3.12 -c 'pass' >/dev/null 2>&1; then command -v python3.12; return; fi
  echo "morvend needs CPython 3.12 (set MORVEND_PYTHON)" >&2
  return 1
}

# ensure_venv: .venv with Python 3.12 and the build tools (cmake, ninja).
ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
  "$VENV/bin/python" -m pip install --quiet "cmake>=3.25" ninja
}

# install_package: builds and installs morvend with its test extra into .venv.
install_package() {
  "$VENV/bin/python" -m pip install --quiet "$MORVEND_ROOT[test]"
}
