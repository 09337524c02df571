#!/usr/bin/env bash
# Builds the tool, writes a six-second stereo demo file with a quiet and a loud passage
# into demo/, and normalizes it in place, with the progress row in the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DTOLVAR_TESTS=OFF -DTOLVAR_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target tolvar tolvar-wavgen >/dev/null
mkdir -p demo
build/tolvar-wavgen demo demo/demo.wav
build/tolvar demo/demo.wav
