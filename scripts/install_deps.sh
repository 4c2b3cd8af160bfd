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
  libtinygltf-dev nlohmann-json3-dev
  python3
)
# npm (for the glTF validator) from Debian unless the machine has node and npm already.
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi
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
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Khronos glTF validator, which the export tests run on what the viewer writes: an npm
# package, kept in .tools/ (ignored by git) at a fixed version.
validator_version=2.0.0-dev.3.10
tools="$(cd "$(dirname "$0")/.." && pwd)/.tools"
if ! [ -f "$tools/node_modules/gltf-validator/package.json" ] ||
   ! grep -q "\"version\": \"$validator_version\"" "$tools/node_modules/gltf-validator/package.json"; then
  echo "Installing gltf-validator $validator_version with npm"
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --no-save --loglevel=error "gltf-validator@$validator_version" >/dev/null
fi
