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

# Fuzzing: the chunk walk and the normalizer on arbitrary bytes for about a minute, starting
# from the generated seed corpus, with the walk's words as a dictionary and a fixed seed, so
# that a run can be repeated (TOLVAR_FUZZ_SEED picks another). A finding (an abort, a
# sanitizer report, an input that runs past the time limit) fails the run and leaves its
# input in build-fuzz/.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTOLVAR_FUZZ=ON -DTOLVAR_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target tolvar_walk_fuzz tolvar-wavgen
build-fuzz/tolvar-wavgen seeds build-fuzz/fuzz-seeds
mkdir -p build-fuzz/fuzz-corpus
seed=${TOLVAR_FUZZ_SEED:-20}
echo "fuzzing with seed $seed"
build-fuzz/tests/fuzz/tolvar_walk_fuzz -seed="$seed" -max_total_time=60 -timeout=10 -max_len=300000 \
  -rss_limit_mb=2048 -dict=tests/fuzz/walk.dict -artifact_prefix=build-fuzz/ build-fuzz/fuzz-corpus build-fuzz/fuzz-seeds
