#!/usr/bin/env bash
# CPython 3.14 and 3.15, which Debian 12 does not package and whose sources
# cannot be fetched here: a minimal root of Debian unstable made with
# debootstrap (about 35 s and 470 MB), which has both. The tests install the
# wheel there (scripts/test_wheel_in_root.sh).
#
# The root is kept under $MORVEND_CACHE (/var/cache/morvend by default), named
# by the versions of the two interpreters that the mirror serves now, and
# reused while they and the packages asked for stay the same; an older root is
# removed once a newer one is made. Without the mirror's index the newest root kept is used.
#   bash scripts/debian_root.sh        # the root's path on the last line
set -euo pipefail

mirror="${MORVEND_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
cache="${MORVEND_CACHE:-/var/cache/morvend}"
# binutils: the tests read the module's exported symbols with nm.
packages=(python3.14 python3.14-venv python3.15 python3.15-venv ca-certificates binutils)
mkdir -p "$cache"

# version_of PACKAGE: its version in the mirror's index of unstable.
index="$(mktemp)"
trap 'rm -f "$index"' EXIT
version_of() {
  awk -v p="$1" '$1 == "Package:" { hit = ($2 == p) } hit && $1 == "Version:" { print $2; exit }' \
    "$index"
}
key=""
if curl -fsSL --max-time 120 "$mirror/dists/sid/main/binary-amd64/Packages.xz" | xz -d > "$index" \
    2>/dev/null; then
  key="sid-python3.14_$(version_of python3.14)-python3.15_$(version_of python3.15)"
  key+="-$(echo "${packages[*]}" | sha256sum | cut -c1-8)"
fi
if [ -z "$key" ] || [[ "$key" == sid-python3.14_-python3.15_-* ]]; then
  # The index could not be read: the newest root kept, if any.
  root="$(ls -dt "$cache"/sid-python3.14_* 2>/dev/null | head -n 1 || true)"
  if [ -z "$root" ]; then
    echo "no Debian root kept in $cache and no index from $mirror" >&2
    exit 1
  fi
  echo "using $root (the mirror's index could not be read)" >&2
  echo "$root"
  exit 0
fi

root="$cache/$key"
if [ ! -x "$root/usr/bin/python3.15" ] || [ ! -f "$root/.complete" ]; then
  rm -rf "$root" "$root.partial"
  echo "making $root" >&2
  command -v debootstrap >/dev/null 2>&1 || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
  }
  debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" sid \
    "$root.partial" "$mirror" > "$cache/debootstrap.log" 2>&1 || {
    tail -n 50 "$cache/debootstrap.log" >&2
    exit 1
  }
  touch "$root.partial/.complete"
  mv "$root.partial" "$root"
  # Roots of older interpreters.
  for old in "$cache"/sid-python3.14_*; do
    [ "$old" = "$root" ] || rm -rf "$old"
  done
fi
echo "$root"
