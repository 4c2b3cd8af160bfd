#!/usr/bin/env bash
# Installs what is needed, builds, and opens MODEL (by default the bundled sample).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install_deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target solluxviewer
model="${1:-resources/sample.rok}"
exec build/solluxviewer "$model"
