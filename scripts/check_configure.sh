#!/usr/bin/env bash
# A source build that cannot work says why at configure time: with no C++
# compiler, and with one that lacks C++23's std::expected (GCC 11, the
# default of Ubuntu 22.04 and RHEL 9). Each case configures a scratch tree
# and looks for the message.
set -euo pipefail
source "$(dirname "$0")/env.sh"

expect_refusal() {
  local cxx="$1" wanted="$2" tree log
  tree="$(mktemp -d)"
  log="$tree/configure.log"
  if CXX="$cxx" cmake -S "$MORVEND_ROOT" -B "$tree" -G Ninja -DMORVEND_BUILD_PYTHON=OFF \
      > "$log" 2>&1; then
    echo "configuring with CXX=$cxx succeeded; expected: $wanted" >&2
    return 1
  fi
  # CMake wraps its messages: compare with the lines joined.
  local text
  text="$(tr -s ' \n' '  ' < "$log")"
  if [[ "$text" != *"morvend needs a C++23 compiler"* || "$text" != *"$wanted"* ]]; then
    cat "$log" >&2
    echo "configuring with CXX=$cxx failed without the expected message: $wanted" >&2
    return 1
  fi
  echo "CXX=$cxx: refused with \"$wanted\""
  rm -rf "$tree"
}

expect_refusal /nonexistent/g++ 'none was found (CXX is "/nonexistent/g++"'
expect_refusal g++-11 "has no std::expected"
