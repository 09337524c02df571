#!/usr/bin/env bash
# Runs the Linux tool and tolvar.exe (through Wine) on copies of every generated test file,
# each on a terminal of its own (script), and fails unless both leave the same bytes and end
# with the same exit status. A run that has not ended after a minute is ended and fails the
# test. Arguments: the Linux build folder, tolvar.exe, a work folder.
set -euo pipefail
linux=$1 exe=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
"$linux/tolvar-wavgen" seeds "$work/seeds" >/dev/null
"$linux/tolvar-wavgen" sized "$work/seeds/sized.wav" 3000000 >/dev/null
"$linux/tolvar-wavgen" sizes "$work/seeds" >/dev/null
failed=0
# A command line on a pseudo-terminal, given a minute; prints its exit status, or "hung".
run() {
  local status=0
  timeout -k 5 60 script -qec "$1" /dev/null >/dev/null 2>&1 </dev/null || status=$?
  case $status in 124 | 137) echo hung ;; *) echo "$status" ;; esac
}
for f in "$work"/seeds/* "$work/missing.wav"; do
  name=$(basename "$f")
  [ -e "$f" ] && cp "$f" "$work/linux-$name" && cp "$f" "$work/win-$name"
  a=$(cd "$work" && run "'$linux/tolvar' 'linux-$name'")
  b=$(cd "$work" && run "wine '$exe' 'win-$name'")
  if [ "$a" = hung ] || [ "$a" != "$b" ] || { [ -e "$f" ] && ! cmp -s "$work/linux-$name" "$work/win-$name"; }; then
    echo "$name: Linux exit $a, Windows exit $b; bytes $(cmp "$work/linux-$name" "$work/win-$name" 2>&1 || true)"; failed=1
  else echo "$name: exit $a, same bytes"; fi
done
exit $failed
