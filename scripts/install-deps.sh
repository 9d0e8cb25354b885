#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing _quarvel need, the
# only place that lists them. CPython 3.13 itself comes from pyenv, not from here.
#
#   scripts/install-deps.sh          build, demo, install and every test suite
#   scripts/install-deps.sh --fuzz   also clang and its libFuzzer runtime (CI)
#
# Packages already present are left alone; without root it uses sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++        # the build
  libicu-dev                   # Unicode classes (linked)
  libtomlplusplus-dev          # TOML configuration files (header-only use)
  libgtest-dev libgmock-dev    # the GoogleTest suites
)
for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=(clang-16 libclang-rt-16-dev) ;;
    *) echo "usage: $0 [--fuzz]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
