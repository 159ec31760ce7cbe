#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need. Idempotent: when every package is already
# there it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  pybind11-dev libspdlog-dev libfmt-dev
  googletest libgtest-dev
  python3-pytest
  libx11-dev libxrandr-dev libxext-dev libxres-dev libxrender-dev libpng-dev xvfb libx11-xcb-dev
  openbox twm metacity dbus x11-xserver-utils x11-utils
  g++-mingw-w64-x86-64
  inotify-tools python3-watchdog python3-pyinotify
  xdg-user-dirs clang-14 libclang-rt-14-dev
  binutils-mingw-w64-x86-64 python3-pil adwaita-icon-theme hicolor-icon-theme shared-mime-info libglib2.0-dev
  icoutils
  wine64
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

PY313=${PY313:-/root/.pyenv/versions/3.13.0/bin/python3.13}
if [ ! -x "$PY313" ]; then
  echo "setup: CPython 3.13 not found at $PY313" >&2
  exit 1
fi
echo "setup: ok"
