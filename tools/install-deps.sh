#!/usr/bin/env bash
# Installs the system packages the build needs beyond the compiler, CMake and GoogleTest:
# CLI11 (header-only argument parser of the clastool program), and pybind11 with Debian's
# Python, NumPy, scikit-learn, pandas, pytest and dask for the Python package and its tests.
# Safe to run again: it does nothing when the packages are there, and refreshes the package lists
# only when one is missing.
set -euo pipefail

packages=(libcli11-dev pybind11-dev python3-numpy python3-sklearn python3-pandas python3-pytest python3-dask
          python3-distributed)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then sudo=sudo; else
    echo "install-deps: need root to install: ${missing[*]}" >&2
    exit 1
  fi
else
  sudo=
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
  $sudo apt-get update -q >/dev/null
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
