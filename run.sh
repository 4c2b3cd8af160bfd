#!/usr/bin/env bash
# Installs what is needed, builds, and opens MODEL (by default the bundled sample) in the
# viewer. Without a display (no DISPLAY or WAYLAND_DISPLAY) it draws the model off screen
# instead, writes the picture as a PNG file and prints its path.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install_deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target solluxviewer
model="${1:-resources/sample.rok}"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/solluxviewer -- "$model"
fi
shot="$PWD/build/$(basename "${model%.*}")-screenshot.png"
# The conversion's trace and palette dump are kept out of the way unless something failed.
log="$PWD/build/run-screenshot.log"
if ! build/solluxviewer --screenshot "$shot" -- "$model" >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
echo "$shot"
