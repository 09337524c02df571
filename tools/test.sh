#!/usr/bin/env bash
# Builds the tool twice, plainly and with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test in both builds. Warnings are errors. The tests run one at a time:
# several of them time a real terminal's answers, and they are quick.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
jobs=$(nproc)

cmake -S . -B build -DTOLVAR_WERROR=ON -DTOLVAR_TESTS=ON -DTOLVAR_BENCH=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure

cmake -S . -B build-sanitize -DTOLVAR_WERROR=ON -DTOLVAR_SANITIZE=ON -DTOLVAR_TESTS=ON -DTOLVAR_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure
