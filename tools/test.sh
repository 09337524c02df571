#!/usr/bin/env bash
# Builds the tool twice, plainly and with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test in both builds; as root, also builds, installs and removes the Debian
# package (tools/package-test.sh); then cross-builds the Windows target and runs its tests
# through Wine (tools/test-win.sh). Warnings are errors. The tests run one at a time:
# several of them time signals against a real terminal, and they are quick.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
jobs=$(nproc)

cmake -S . -B build -DTOLVAR_WERROR=ON -DTOLVAR_TESTS=ON -DTOLVAR_BENCH=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure

# The Debian package, installed into this machine and removed again: as root only.
if [ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null; then
  bash tools/package-test.sh
fi

cmake -S . -B build-sanitize -DTOLVAR_WERROR=ON -DTOLVAR_SANITIZE=ON -DTOLVAR_TESTS=ON -DTOLVAR_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure

# The Windows build, cross-compiled, with its tests run through Wine.
bash tools/test-win.sh
