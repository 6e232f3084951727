#!/usr/bin/env bash
# Installs OpenCV's development package, which only bench/compare needs (the library, the
# program and the tests never do). Safe to run again: it does nothing when the package is there,
# and refreshes the package lists only when it is missing. Re-run CMake afterwards so that
# bench/compare is configured.
set -euo pipefail

package=libopencv-dev
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then sudo=sudo; else
    echo "install-opencv: need root to install $package" >&2
    exit 1
  fi
else
  sudo=
fi
echo "install-opencv: installing $package (a few hundred MB with its dependencies)"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "$package" >/dev/null 2>&1; then
  $sudo apt-get update -q >/dev/null
  $sudo apt-get install -y -q --no-install-recommends "$package" >/dev/null
fi
