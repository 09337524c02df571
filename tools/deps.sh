#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libvterm-dev
          dpkg-dev file
          strace  # bench/calls.sh counts the system calls of a run
          g++-mingw-w64-x86-64 wine wine64)  # the Windows build and its tests (tools/test-win.sh)
# The package test (tools/test.sh, as root only) checks the package and finds its manual page.
[ "$(id -u)" -eq 0 ] && packages+=(lintian man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
