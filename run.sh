#!/usr/bin/env bash
# Installs what is needed, builds, and converts MODEL (by default the bundled sample) to
# the .x text file beside it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install_deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target solluxviewer
model="${1:-resources/sample.rok}"
build/solluxviewer --convert "$model"
# The .x file lies beside the source: the first ".rok" (else ".ROK") and all after it
# become ".x"; a path holding ".x" is already one.
case "$model" in
  *.x* | *.X*) out="$model" ;;
  *.rok*) out="${model%%.rok*}.x" ;;
  *) out="${model%%.ROK*}.x" ;;
esac
echo "Converted $model -> $out"
