#!/usr/bin/env bash
# The Debian package, tried as a user would: built from a Release build, checked by lintian
# down to its pedantic notes, installed with dpkg, the installed tool run under the terminal
# tests of the plain build (build/, made by tools/test.sh), its manual page found, and
# removed again without a trace.
# It installs into this machine, so it wants root; tools/test.sh runs it only as root.
set -euo pipefail
cd "$(dirname "$0")/.."
if dpkg-query -W -f='${Status}' tolvar 2>/dev/null | grep -q "ok installed"; then
  echo "package test skipped: a tolvar package is installed here already; dpkg -r tolvar first"
  exit 0
fi

# The README's package command.
rm -f build-release/tolvar_*.deb
{ cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTOLVAR_TESTS=OFF -DTOLVAR_BENCH=OFF &&
  cmake --build build-release -j2 &&
  cpack --config build-release/CPackConfig.cmake -G DEB -B build-release; } >/dev/null
deb=$(echo build-release/tolvar_*_amd64.deb)
dpkg-deb --field "$deb" Package Version Depends
# Every tag, down to the pedantic ones, fails the test, but one: lintian looks only at some of
# the C library's functions that have checked variants (read, pread, poll, strncpy, ...), and
# the tool's calls of those are either proven safe when compiling or fill a buffer whose size
# only the run knows, so none of them is checked and lintian says the program is not
# fortified. That it is is seen in its imports instead (__memcpy_chk and the like).
lintian -I --pedantic --fail-on error,warning,info,pedantic --suppress-tags hardening-no-fortify-functions "$deb"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/bin/tolvar > build-release/packaged-tolvar
# grep reads the whole listing: with -q it could end first, and readelf's SIGPIPE would fail
# the pipeline.
readelf --dyn-syms -W build-release/packaged-tolvar | grep ' __[a-z0-9_]*_chk@' >/dev/null ||
  { echo "the packaged tool calls none of the C library's checked functions"; exit 1; }
mapfile -t files < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\.||')

trap 'dpkg -r tolvar >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb" >/dev/null
TOLVAR_TOOL=/usr/bin/tolvar build/tests/driver/terminal_test --gtest_filter='Tool/WholeRun.*' --gtest_brief=1
TOLVAR_TOOL=/usr/bin/tolvar build/tests/normalize/whole_run_test --gtest_brief=1
page=$(man -w tolvar)
[ "$page" = /usr/share/man/man1/tolvar.1.gz ] || { echo "man -w tolvar: $page"; exit 1; }
dpkg -r tolvar >/dev/null
trap - EXIT

left=0
for f in "${files[@]}" /usr/share/doc/tolvar; do
  if [ -e "$f" ]; then echo "left behind by dpkg -r: $f"; left=1; fi
done
if dpkg-query -W -f='${Status}' tolvar 2>/dev/null | grep -qv "not-installed"; then
  echo "dpkg still knows tolvar: $(dpkg-query -W -f='${Status}' tolvar)"; left=1
fi
[ $left -eq 0 ]
echo "package test passed: ${#files[@]} files installed, run, found and removed"
