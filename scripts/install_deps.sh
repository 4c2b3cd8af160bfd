#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the viewer need, skipping those
# already present. Non-interactive; uses sudo when not root.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev libgl-dev libepoxy-dev libegl-dev libegl-mesa0 libgl1-mesa-dri
  libstb-dev zlib1g-dev libpng-dev libjpeg62-turbo-dev libgif-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth assimp-testmodels
  shared-mime-info libglib2.0-bin desktop-file-utils dpkg-dev lintian
)
if [ "${SOLLUX_EXTRA_PACKAGES:-}" != "" ]; then
  read -r -a extra <<<"$SOLLUX_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
