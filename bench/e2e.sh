#!/usr/bin/env bash
# A whole run of tolvar on a large WAV in the page cache, on a pseudo-terminal whose output
# is drained, timed in alternating pairs with the floor for rewriting the same file in place:
# dd if=F of=F bs=96000 conv=notrunc. Every tolvar run starts from the original bytes.
# Prints the medians, the median of the pair ratios, the ratios of the other normalizers
# found on the machine, and the peak memory of tolvar on this file and on a 1 MB one.
#
#   bash bench/e2e.sh [DATA_BYTES [ROUNDS]]     (default 1 GiB, 5 rounds)
#   BUILD=build-perf bash bench/e2e.sh           (the build to measure; default build)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
[[ $build = /* ]] || build="$repo/$build"
bytes=${1:-1073741824}
rounds=${2:-5}
tolvar="$build/tolvar"
wavgen="$build/tolvar-wavgen"
for tool in "$tolvar" "$wavgen"; do
  [[ -x $tool ]] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 2; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tolvar-e2e.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
need=$(( (bytes * 3 + (1 << 20)) / 1024 ))
avail=$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')
if (( avail < need )); then
  echo "not enough room in $tmp: need $need KiB, have $avail KiB" >&2
  exit 2
fi

g++ -O2 -o "$tmp/pty_run" "$repo/bench/pty_run.cpp"
pristine="$tmp/pristine.wav"
work="$tmp/work.wav"
"$wavgen" sized "$pristine" "$bytes" >/dev/null

# Seconds of one command on the drained terminal; its exit status must be 0.
timed() {
  local line
  line=$("$tmp/pty_run" "$@" 2>&1 >/dev/null | tail -n 1) || { echo "failed: $*" >&2; exit 1; }
  [[ $line == seconds=* ]] || { echo "failed: $* ($line)" >&2; exit 1; }
  line=${line#seconds=}
  echo "${line%% *}"
}

restore() {
  cp "$pristine" "$work"
  sync "$work"
  cat "$work" >/dev/null
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

restore
: >"$tmp/tolvar" >"$tmp/floor" >"$tmp/ratio"
for ((round = 1; round <= rounds; ++round)); do
  # The order alternates too, so that neither side always runs on the fresher cache.
  if ((round % 2)); then
    restore; t=$(timed "$tolvar" "$work")
    sync "$work"; f=$(timed dd if="$work" of="$work" bs=96000 conv=notrunc)
  else
    sync "$work"; f=$(timed dd if="$work" of="$work" bs=96000 conv=notrunc)
    restore; t=$(timed "$tolvar" "$work")
  fi
  echo "$t" >>"$tmp/tolvar"
  echo "$f" >>"$tmp/floor"
  awk -v t="$t" -v f="$f" 'BEGIN { printf "%.4f\n", t / f }' >>"$tmp/ratio"
  printf 'round %d: tolvar %.3f s, floor %.3f s\n' "$round" "$t" "$f"
done
floor=$(median <"$tmp/floor")

echo
printf '%-32s %10s %8s\n' "run on $bytes data bytes" "median s" "ratio"
printf '%-32s %10.3f %8.3f\n' "tolvar" "$(median <"$tmp/tolvar")" "$(median <"$tmp/ratio")"
printf '%-32s %10.3f %8.3f\n' "dd bs=96000 conv=notrunc (floor)" "$floor" 1

# Other normalizers, one run each on the same original bytes; they write other files.
peer() {
  local name=$1
  shift
  restore
  local s
  s=$(timed "$@")
  printf '%-32s %10.3f %8.3f\n' "$name" "$s" "$(awk -v s="$s" -v f="$floor" 'BEGIN { print s / f }')"
  rm -f "$tmp/out.wav"
}
if command -v sox >/dev/null; then
  peer "sox gain -n -1" sox "$work" "$tmp/out.wav" gain -n -1
fi
if command -v normalize-audio >/dev/null; then
  peer "normalize-audio" normalize-audio -q "$work"
fi
if command -v ffmpeg >/dev/null; then
  peer "ffmpeg volume copy" ffmpeg -nostdin -v error -y -i "$work" -af volume=1.0 "$tmp/out.wav"
fi

# Peak resident memory, on this file and on one of 1 MB.
echo
peak_kib() {
  "$tmp/pty_run" /usr/bin/time -f %M -o "$tmp/rss" "$tolvar" "$1" >/dev/null 2>&1
  cat "$tmp/rss"
}
restore
printf 'peak RSS, %s data bytes: %s KiB\n' "$bytes" "$(peak_kib "$work")"
"$wavgen" sized "$tmp/small.wav" 1000000 >/dev/null
printf 'peak RSS, 1000000 data bytes: %s KiB\n' "$(peak_kib "$tmp/small.wav")"
