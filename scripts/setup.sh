#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Safe to run again: it asks apt only for what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-charts-dev
  libqt6opengl6-dev libgl-dev
  libmodbus-dev mbpoll
  socat xvfb xauth
  clang libclang-rt-dev
  fonts-wine qt6-translations-l10n
  # The Debian package and the check of an installed copy; with libfile-mimeinfo-perl
  # xdg-mime tells a file's type from the MIME database, not from its content alone.
  dpkg-dev desktop-file-utils xdg-utils shared-mime-info libfile-mimeinfo-perl
  libglib2.0-bin libxml2-utils man-db groff-base
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
