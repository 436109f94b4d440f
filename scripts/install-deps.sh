#!/usr/bin/env bash
# Installs Debian packages when missing: the ones named, or by default those the build, the
# tests and the demo need.
set -euo pipefail

packages=(cmake g++ make dpkg-dev qt6-base-dev qt6-translations-l10n libgl-dev googletest libgtest-dev socat fonts-dejavu-core fonts-liberation2 lintian)
[ $# -gt 0 ] && packages=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
