#!/usr/bin/env bash
# The system calls of one whole run of tolvar on a generated WAV, counted by strace on a
# pseudo-terminal: strace's table, then the calls per block of 96000 bytes that touch the file
# or write to the terminal (pread64, pwrite64, lseek, read, write and every stat call; the
# whole process is counted, start-up included).
#
#   bash bench/calls.sh [DATA_BYTES]     (default 200000000)
#   BUILD=build-release bash bench/calls.sh
set -euo pipefail

source "$(dirname "$0")/common.sh"
bytes=${1:-200000000}
need_programs "$build/tolvar" "$build/tolvar-wavgen"
need_strace

make_scratch calls
"$build/tolvar-wavgen" sized "$tmp/take.wav" "$bytes" >/dev/null
data=$(( $(stat -c %s "$tmp/take.wav") - 44 ))  # the generator's canonical header
blocks=$(( (data + 95999) / 96000 ))

"$tmp/pty_run" strace -f -c -o "$tmp/table" "$build/tolvar" "$tmp/take.wav" >/dev/null 2>&1 ||
  { echo "the run failed" >&2; exit 1; }
cat "$tmp/table"
echo
awk -v blocks="$blocks" -v data="$data" '
  $NF ~ /^(pread64|pwrite64|preadv2?|pwritev2?|lseek|read|readv|write|writev|stat|lstat|fstat|newfstatat|statx)$/ {
    counted += $4
    list = list sprintf(" %s %d", $NF, $4)
  }
  END {
    printf "%d data bytes, %d blocks:%s\n", data, blocks, list
    printf "calls per block: %.4f\n", counted / blocks
  }' "$tmp/table"
