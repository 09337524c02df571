#!/usr/bin/env bash
# Whole runs of tolvar on a large WAV, on a terminal that keeps up and on one that takes only
# RATE bytes a second (a serial console, a congested remote link), in rounds; optionally a
# second build (an older one, say) in the same rounds. Every run starts from the original bytes.
# For each: the median time until the tool ended and until the terminal had taken its last
# byte, the bytes the terminal received per GiB of data, and, counted once with strace on the
# slow terminal, the tool's writes to the terminal and the bytes per write.
#
#   bash bench/slow_terminal.sh [--other TOOL] [DATA_BYTES [ROUNDS [RATE]]]
#       DATA_BYTES default 1 GiB; ROUNDS default 5; RATE default 3000
#   BUILD=build-release bash bench/slow_terminal.sh
set -euo pipefail

source "$(dirname "$0")/common.sh"
other=""
if [[ ${1:-} == --other ]]; then
  other=$(realpath "$2")
  shift 2
fi
bytes=${1:-1073741824}
rounds=${2:-5}
rate=${3:-3000}
need_programs "$build/tolvar" "$build/tolvar-wavgen" ${other:+"$other"}
need_strace

make_scratch slow
"$build/tolvar-wavgen" sized "$tmp/pristine.wav" "$bytes" >/dev/null

# One run: the tool's name, its path, the drain rate (0: keeps up). Appends
# "exit_seconds seconds terminal_bytes" to $tmp/NAME-RATE.
run() {
  cp "$tmp/pristine.wav" "$tmp/work.wav"
  local line
  line=$("$tmp/pty_run" --drain "$3" "$2" "$tmp/work.wav" 2>&1 >/dev/null | tail -n 1) ||
    { echo "failed: $2 ($line)" >&2; exit 1; }
  awk '{ for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
         print v["exit_seconds"], v["seconds"], v["terminal_bytes"] }' <<<"$line" >>"$tmp/$1-$3"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

names=(tolvar)
declare -A paths=([tolvar]="$build/tolvar")
[[ -n $other ]] && names+=(other) && paths[other]=$other
for ((round = 1; round <= rounds; ++round)); do
  for name in "${names[@]}"; do
    for r in 0 "$rate"; do run "$name" "${paths[$name]}" "$r"; done
  done
done

echo "$bytes data bytes, $rounds rounds, slow terminal $rate bytes/s; medians"
printf '%-8s %-10s %10s %14s %16s\n' "" terminal "ended s" "screen done s" "bytes per GiB"
for name in "${names[@]}"; do
  for r in 0 "$rate"; do
    f="$tmp/$name-$r"
    printf '%-8s %-10s %10.3f %14.3f %16.0f\n' "$name" "$([[ $r == 0 ]] && echo keeps-up || echo "$r B/s")" \
      "$(cut -d' ' -f1 "$f" | median)" "$(cut -d' ' -f2 "$f" | median)" \
      "$(cut -d' ' -f3 "$f" | median | awk -v b="$bytes" '{ print $1 * 1073741824 / b }')"
  done
done

# The writes to the terminal, from one more run of each on the slow terminal.
for name in "${names[@]}"; do
  cp "$tmp/pristine.wav" "$tmp/work.wav"
  "$tmp/pty_run" --drain "$rate" strace -f --seccomp-bpf -qq -e trace=write -e signal=none \
    -o "$tmp/trace" "${paths[$name]}" "$tmp/work.wav" >/dev/null 2>&1 || { echo "failed: strace run" >&2; exit 1; }
  awk -v name="$name" '/^[0-9]+ +write\(1,/ { ++writes; sum += $NF }
    END { printf "%s on the slow terminal: %d writes to the terminal, %d bytes, %.1f bytes per write\n",
          name, writes, sum, writes ? sum / writes : 0 }' "$tmp/trace"
done
