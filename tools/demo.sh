#!/usr/bin/env bash
# Builds the tool, writes a six-second stereo demo file with a quiet and a loud passage
# into demo/, normalizes it in place, with the progress row in the terminal, and draws the
# peak of every block before and after into demo/demo.svg. Without a terminal (cron, CI, a
# pipe with no terminal behind it) the tool runs on a pseudo-terminal of its own, and what it
# draws there lands on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DTOLVAR_TESTS=OFF -DTOLVAR_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target tolvar tolvar-wavgen tolvar-envelope >/dev/null
mkdir -p demo
build/tolvar-wavgen demo demo/demo.wav
cp demo/demo.wav demo/demo-before.wav
if [ -t 1 ] || (: </dev/tty) 2>/dev/null; then
  build/tolvar demo/demo.wav
else
  script -qec "build/tolvar demo/demo.wav" /dev/null </dev/null
fi
build/tolvar-envelope demo/demo-before.wav demo/demo.wav demo/demo.svg
echo "before and after: $PWD/demo/demo.svg"
