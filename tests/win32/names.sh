#!/usr/bin/env bash
# tolvar.exe (through Wine) on files whose names hold characters that no narrow code page
# has: each file is normalized under its own name, as the Linux tool normalizes the same
# bytes, and a file whose name merely looks like it keeps its bytes. Arguments: the Linux
# build folder, tolvar.exe, a work folder.
set -euo pipefail
export LC_ALL=C.UTF-8  # Wine reads the arguments in the locale's character set
linux=$1 exe=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$linux/tolvar-wavgen" sized seed.wav 400000 >/dev/null
cp seed.wav normalized.wav
script -qec "'$linux/tolvar' normalized.wav" /dev/null >/dev/null </dev/null
if cmp -s seed.wav normalized.wav; then echo "normalizing leaves the seed as it is"; exit 1; fi
failed=0
# name | look-alikes beside it, which must stay as they are
for row in 'Ａ.wav|A.wav' 'Ω.wav|O.wav' '日本.wav|' '𝄞.wav|' 'ω und Ω.wav|o und O.wav' "'70s.wav|70s.wav"; do
  name=${row%|*} alike=${row#*|}
  cp seed.wav "$name"
  [ -z "$alike" ] || cp seed.wav "$alike"
  status=0
  SHELL=/bin/bash script -qec "wine $(printf %q "$exe") $(printf %q "$name")" /dev/null >/dev/null </dev/null || status=$?
  if [ "$status" != 0 ] || ! cmp -s "$name" normalized.wav || { [ -n "$alike" ] && ! cmp -s "$alike" seed.wav; }; then
    echo "$name: exit $status; $(cmp -s "$name" normalized.wav && echo normalized || echo "not normalized")${alike:+; $alike $(cmp -s "$alike" seed.wav && echo untouched || echo changed)}"
    failed=1
  else echo "$name: exit 0, normalized${alike:+; $alike untouched}"; fi
  rm -f "$name" ${alike:+"$alike"}
done
exit $failed
