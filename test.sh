#!/usr/bin/env bash
# Installs what is needed, builds into build/ with warnings as errors, runs the whole suite.
# SOLLUX_SANITIZE=1 ./test.sh builds and runs the suite under ASan/UBSan in build-sanitize/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install_deps.sh

build=build
flags=(-DSOLLUX_WERROR=ON)
if [ "${SOLLUX_SANITIZE:-0}" = "1" ]; then
  build=build-sanitize
  flags+=(-DSOLLUX_SANITIZE=ON -DSOLLUX_BENCH=OFF)
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan_suppressions.txt:print_suppressions=0"
  # The leak checker's walk of dynamic TLS trips over the GL driver's threads at exit.
  export ASAN_OPTIONS="intercept_tls_get_addr=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
fi
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
# Software OpenGL with no display: the drawing tests use EGL on Mesa.
export LIBGL_ALWAYS_SOFTWARE=1
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
