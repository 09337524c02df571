#!/usr/bin/env bash
# Cross-builds the Windows target and runs its tests through Wine. One Wine server is kept
# alive for the whole run (each test then starts in a fraction of a second instead of
# seconds) and ended on every way out; the Wine prefix lives in the build folder. Some tests
# compare with the Linux tool and take their files from its generator: both are built in build/
# first (that folder's configuration, when tools/test.sh has made it, else the defaults).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target tolvar tolvar-wavgen
bash tools/build-win.sh -DTOLVAR_WERROR=ON -DTOLVAR_TESTS=ON -DTOLVAR_LINUX_BUILD="$PWD/build"

export WINEPREFIX="$PWD/build-win/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
trap 'wineserver -k 2>/dev/null || true' EXIT
mkdir -p "$WINEPREFIX"
wineserver -p || true  # a server of this prefix left running serves as well
wineboot -i >/dev/null 2>&1
ctest --test-dir build-win --output-on-failure
