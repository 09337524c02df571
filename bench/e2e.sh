#!/usr/bin/env bash
# Whole runs of tolvar on a large WAV, on a pseudo-terminal whose output is drained, timed in
# rounds with the floor for rewriting the same file in place, dd if=F of=F bs=96000
# conv=notrunc, and optionally with a second build of the tool (an older one, say). Every
# tool run starts from the original bytes; the order within a round rotates, so that no side
# always runs first. Prints each round, the medians, the median and the spread of the ratios,
# the ratios of the other normalizers found on the machine, and the peak memory of each tool
# on this file and on a 1 MB one.
#
#   bash bench/e2e.sh [--cold | --cold-all] [--other TOOL] [DATA_BYTES [ROUNDS]]
#       DATA_BYTES  default 1 GiB; ROUNDS default 15 (9 with --cold)
#       --other     time TOOL too, in the same rounds (e.g. a build of an earlier commit)
#       --cold      before every run the file is written back and dropped from the page cache
#                   (fsync, then posix_fadvise DONTNEED through dd iflag=nocache)
#       --cold-all  the same through /proc/sys/vm/drop_caches (root; drops every file's cache)
#   BUILD=build-release bash bench/e2e.sh        (the build to measure; default build)
set -euo pipefail

source "$(dirname "$0")/common.sh"
cold=""
other=""
while [[ ${1:-} == --* ]]; do
  case $1 in
    --cold) cold=file ;;
    --cold-all) cold=all ;;
    --other) other=$(realpath "$2"); shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
bytes=${1:-1073741824}
rounds=${2:-$([[ -n $cold ]] && echo 9 || echo 15)}
tolvar="$build/tolvar"
wavgen="$build/tolvar-wavgen"
need_programs "$tolvar" "$wavgen" ${other:+"$other"}
if [[ $cold == all && ! -w /proc/sys/vm/drop_caches ]]; then
  echo "--cold-all needs root" >&2
  exit 2
fi

make_scratch e2e
need=$(( (bytes * 3 + (1 << 20)) / 1024 ))
avail=$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')
if (( avail < need )); then
  echo "not enough room in $tmp: need $need KiB, have $avail KiB" >&2
  exit 2
fi

pristine="$tmp/pristine.wav"
work="$tmp/work.wav"
"$wavgen" sized "$pristine" "$bytes" >/dev/null
cp "$pristine" "$work"  # the floor, first in a round, rewrites what it finds

# Seconds of one command on the drained terminal; its exit status must be 0.
timed() {
  local line
  line=$("$tmp/pty_run" "$@" 2>&1 >/dev/null | tail -n 1) || { echo "failed: $*" >&2; exit 1; }
  [[ $line == seconds=* ]] || { echo "failed: $* ($line)" >&2; exit 1; }
  line=${line#seconds=}
  echo "${line%% *}"
}

# The work file as the next run should find it: written back, then in the page cache or not.
settle() {
  sync "$work"
  case $cold in
    file) dd if="$work" iflag=nocache count=0 status=none ;;
    all) echo 1 >/proc/sys/vm/drop_caches ;;
    *) cat "$work" >/dev/null ;;
  esac
}

restore() {
  cp "$pristine" "$work"
  settle
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Median, least and largest of a column of numbers.
spread() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f (%.3f .. %.3f)", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f\n", a / b }'; }

# The contestants: a name, then the command; the tools start from the original bytes.
names=(tolvar)
[[ -n $other ]] && names+=(other)
names+=(floor)
run() {
  case $1 in
    tolvar) restore; timed "$tolvar" "$work" ;;
    other) restore; timed "$other" "$work" ;;
    floor) settle; timed dd if="$work" of="$work" bs=96000 conv=notrunc ;;
  esac
}

for name in "${names[@]}"; do : >"$tmp/$name"; done
: >"$tmp/tolvar-floor" >"$tmp/other-floor" >"$tmp/tolvar-other"
for ((round = 1; round <= rounds; ++round)); do
  declare -A took=()
  count=${#names[@]}
  line="round $round:"
  for ((i = 0; i < count; ++i)); do
    name=${names[(i + round) % count]}
    took[$name]=$(run "$name")
    echo "${took[$name]}" >>"$tmp/$name"
  done
  for name in "${names[@]}"; do line+=$(printf ' %s %.3f s,' "$name" "${took[$name]}"); done
  echo "${line%,}"
  ratio "${took[tolvar]}" "${took[floor]}" >>"$tmp/tolvar-floor"
  if [[ -n $other ]]; then
    ratio "${took[other]}" "${took[floor]}" >>"$tmp/other-floor"
    ratio "${took[tolvar]}" "${took[other]}" >>"$tmp/tolvar-other"
  fi
done
floor=$(median <"$tmp/floor")

echo
echo "$bytes data bytes, $rounds rounds, $([[ -n $cold ]] && echo "cold ($cold)" || echo warm); tolvar: $tolvar${other:+; other: $other}"
printf '%-34s %10s   %s\n' "" "median s" "ratio to the floor: median (least .. largest)"
printf '%-34s %10.3f   %s\n' "tolvar" "$(median <"$tmp/tolvar")" "$(spread <"$tmp/tolvar-floor")"
if [[ -n $other ]]; then
  printf '%-34s %10.3f   %s\n' "other" "$(median <"$tmp/other")" "$(spread <"$tmp/other-floor")"
fi
printf '%-34s %10.3f   %s\n' "dd bs=96000 conv=notrunc (floor)" "$floor" 1
if [[ -n $other ]]; then
  echo "tolvar / other, paired: $(spread <"$tmp/tolvar-other")"
fi

# Other normalizers, one run each on the same original bytes; they write other files.
peer() {
  local name=$1
  shift
  restore
  local s
  s=$(timed "$@")
  printf '%-34s %10.3f   %.3f\n' "$name" "$s" "$(ratio "$s" "$floor")"
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
  "$tmp/pty_run" /usr/bin/time -f %M -o "$tmp/rss" "$1" "$2" >/dev/null 2>&1
  cat "$tmp/rss"
}
"$wavgen" sized "$tmp/small.wav" 1000000 >/dev/null
for tool in "$tolvar" ${other:+"$other"}; do
  restore
  printf 'peak RSS of %s: %s KiB on %s data bytes, ' "$tool" "$(peak_kib "$tool" "$work")" "$bytes"
  printf '%s KiB on 1000000\n' "$(peak_kib "$tool" "$tmp/small.wav")"
done
