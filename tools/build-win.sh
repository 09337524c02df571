#!/usr/bin/env bash
# Cross-builds the Windows console program (x86-64) into build-win/ with mingw-w64. Extra
# arguments go to the configure step (for example -DTOLVAR_TESTS=OFF).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-win --toolchain cmake/mingw-w64.cmake -DTOLVAR_BENCH=OFF "$@"
cmake --build build-win -j "$(nproc)"
