#!/usr/bin/env bash
# Large files, by hand and not in CI: it writes several GiB. Builds sparse WAVE files (RIFF, and
# RF64 sized by its ds64 chunk) past the 2 GiB and 4 GiB marks with a few sample blocks planted at chosen offsets, runs the real tool
# on each under a pseudo-terminal, and checks with cmp and od that exactly the planted samples
# were normalized to the values the gain rules give, that everything else kept its bytes, the
# final progress text and the exit status.
#
#   bash bench/large_files.sh [TOOL]       TOOL defaults to build/tolvar
#   LARGE_FILES_DIR=/somewhere bash bench/large_files.sh    where the files go (default $TMPDIR or /tmp)
#
# The planted blocks and what the tool must make of them:
#   +-16384 (loud)  -> +-32512: the block gain of peak 16384 is x1.984375
#   +-1000 (quiet)  -> +-31750: a peak below 1024 counts as 1024, gain x31.75, reached when
#                      the quiet block follows more than 238 silent blocks (the gain rises by
#                      at most 0.125 per block)
# The last blocks of a chunk are only checked for being raised and within +-32512: the look-ahead
# of the chunk's last block sees a buffer that still holds an earlier, already scaled block.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/tolvar}")
[ -x "$tool" ] || { echo "no tool at $tool: build it first" >&2; exit 2; }

base=${LARGE_FILES_DIR:-${TMPDIR:-/tmp}}
need=$((5 * 1024 * 1024 * 1024))
avail=$(df --output=avail -B1 "$base" | tail -1)
df -h "$base"
[ "$avail" -gt "$need" ] || { echo "needs 5 GiB free in $base" >&2; exit 2; }
work=$(mktemp -d "$base/tolvar-large.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "  ok    $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}

# pattern FILE BYTES LOW HIGH: BYTES bytes of the sample pair LOW, HIGH (signed 16-bit).
pattern() { perl -e 'print pack("s<s<", $ARGV[1], $ARGV[2]) x ($ARGV[0] / 4)' "$2" "$3" "$4" > "$1"; }
# plant FILE OFFSET PATTERNFILE: writes the pattern over the file's bytes at OFFSET.
plant() { dd if="$3" of="$1" bs=1M seek="$2" oflag=seek_bytes conv=notrunc status=none; }
# region FILE OFFSET BYTES: the file's bytes there, on standard output.
region() { dd if="$1" bs=1M skip="$2" count="$3" iflag=skip_bytes,count_bytes status=none; }
same_region() { cmp -s <(region "$1" "$2" "$3") "$4"; }
zero_region() { cmp -s <(region "$1" "$2" "$3") <(head -c "$3" /dev/zero); }
# raised FILE OFFSET BYTES PEAK: every sample there is above PEAK in magnitude and at most 32512.
raised() {
  region "$1" "$2" "$3" | od -An -v -td2 -w2 |
    awk -v peak="$4" '{ m = $1 < 0 ? -$1 : $1; if (m <= peak || m > 32512) bad++ } END { exit bad > 0 }'
}
# header FILE: the canonical header, with the RIFF and "data" sizes given, over the file's start.
wave_header() {  # wave_header FILE RIFFSIZE DATASIZE
  perl -e 'print "RIFF", pack("V", $ARGV[0]), "WAVE", "fmt ", pack("VvvVVvv", 16, 1, 2, 44100, 176400, 4, 16),
                 "data", pack("V", $ARGV[1])' "$2" "$3" |
    dd of="$1" conv=notrunc status=none
}

# run FILE: the tool on a pseudo-terminal; sets status and progress (the last progress text).
run() {
  local log=$work/screen.log start=$SECONDS
  status=0
  script -qefc "'$tool' '$1'" "$log" < /dev/null > /dev/null || status=$?
  progress=$(tr -d '\000' < "$log" | grep -ao 'Normalisiere Wave\.\.\.[ 0-9.]*%' | tail -1 || true)
  finished=$(grep -ac ', fertig!' "$log" || true)
  echo "  ran in $((SECONDS - start)) s: exit status $status, last progress '$progress'"
}

# one_chunk FILE DATA RIFFSIZE QUIETAT: a sparse file of one "data" chunk of DATA bytes with the
# loud block at its start, a quiet one at QUIETAT and a quiet tail, run through the tool, and
# the checks every such file must pass.
one_chunk() {
  local f=$1 data=$2 riff=$3 quiet_at=$4
  truncate -s $((44 + data)) "$f"
  wave_header "$f" "$riff" "$data"
  plant "$f" 44 "$work/loud"
  plant "$f" "$quiet_at" "$work/quiet"
  plant "$f" $((44 + data - 150000)) "$work/quiet-tail"
  head -c 44 "$f" > "$work/header"
  run "$f"
  check "exit status 0" test "$status" -eq 0
  check "final progress 100.0% and ', fertig!'" test "$progress" = 'Normalisiere Wave...100.0%' -a "$finished" -ge 1
  check "header unchanged" cmp -s -n 44 "$f" "$work/header"
  check "length unchanged" test "$(stat -c %s "$f")" -eq $((44 + data))
  check "loud block at the start: +-32512" same_region "$f" 44 200000 "$work/loud.out"
}

pattern "$work/loud" 200000 16384 -16384
pattern "$work/loud.out" 200000 32512 -32512
pattern "$work/quiet" 200000 1000 -1000
pattern "$work/quiet.out" 200000 31750 -31750
head -c 150000 "$work/quiet" > "$work/quiet-tail"
pattern "$work/quiet-run.out" 864000 31750 -31750

echo "== A: a data chunk of 2.5 GiB (file above 2 GiB), quiet samples across the 2 GiB mark"
f=$work/a.wav
data=$((5 * 512 * 1024 * 1024))
one_chunk "$f" "$data" $((36 + data)) $((2147483648 - 100000))
check "silence after it stays silent" zero_region "$f" 200044 10000000
check "quiet block across 2 GiB: +-31750" same_region "$f" $((2147483648 - 100000)) 200000 "$work/quiet.out"
check "silence before 2 GiB stays silent" zero_region "$f" $((2147483648 - 10100000)) 10000000
check "quiet block at the end: raised, within +-32512" raised "$f" $((44 + data - 150000)) 150000 1000
rm -f "$f"

echo "== B: a data chunk of 4 GiB - 2 bytes, ending 42 bytes past the 4 GiB mark"
f=$work/b.wav
data=$((4294967296 - 2))
# The RIFF size cannot hold 36 + data; the quiet tail lies across the 4 GiB mark.
one_chunk "$f" "$data" 4294967295 $((4294967296 - 1000000))
check "quiet block 1 MB before 4 GiB: +-31750" same_region "$f" $((4294967296 - 1000000)) 200000 "$work/quiet.out"
check "silence before it stays silent" zero_region "$f" $((4294967296 - 11000000)) 10000000
check "silence after it stays silent" zero_region "$f" $((4294967296 - 800000)) 600000
check "quiet block across 4 GiB at the end: raised, within +-32512" raised "$f" $((44 + data - 150000)) 150000 1000
rm -f "$f"

echo "== C: a LIST chunk of 2 GiB, then a data chunk of 10 blocks, then a LIST of 100 MB"
f=$work/c.wav
list=2147483648
data=960000
tail_list=100000000
data_at=$((12 + 24 + 8 + list + 8))
size=$((data_at + data + 8 + tail_list))
truncate -s "$size" "$f"
perl -e 'print "RIFF", pack("V", $ARGV[0] - 8), "WAVE", "fmt ", pack("VvvVVvv", 16, 1, 2, 44100, 176400, 4, 16),
               "LIST", pack("V", $ARGV[1])' "$size" "$list" | dd of="$f" conv=notrunc status=none
perl -e 'print "data", pack("V", $ARGV[0])' "$data" | dd of="$f" bs=1 seek=$((data_at - 8)) conv=notrunc status=none
perl -e 'print "LIST", pack("V", $ARGV[0]), "INFO"' "$tail_list" |
  dd of="$f" bs=1 seek=$((data_at + data)) conv=notrunc status=none
for at in 0 200000 400000 600000 760000; do plant "$f" $((data_at + at)) "$work/quiet"; done
region "$f" $((data_at - 10485760)) 10485760 > "$work/before-data"
head -c 44 "$f" > "$work/header"
region "$f" $((data_at + data)) 1000 > "$work/after-data"
expected=$(awk -v p=$((data_at + data)) -v s="$size" 'BEGIN { printf "Normalisiere Wave...%5.1f%%", p / s * 100 }')
run "$f"
check "exit status 0" test "$status" -eq 0
check "final progress '$expected' and ', fertig!'" test "$progress" = "$expected" -a "$finished" -ge 1
check "length unchanged" test "$(stat -c %s "$f")" -eq "$size"
check "header and LIST header unchanged" cmp -s -n 44 "$f" "$work/header"
check "LIST body: first 10 MB still silent" zero_region "$f" 44 10485760
check "last 10 MB before the data unchanged" same_region "$f" $((data_at - 10485760)) 10485760 "$work/before-data"
check "data blocks 1 to 9, past 2 GiB: +-31750" same_region "$f" "$data_at" 864000 "$work/quiet-run.out"
check "last data block: raised, within +-32512" raised "$f" $((data_at + 864000)) 96000 1000
check "the LIST after the data unchanged" same_region "$f" $((data_at + data)) 1000 "$work/after-data"
rm -f "$f"

echo "== D: RF64, a data chunk of 4 GiB + 1 MB sized by ds64, quiet samples past 4 GiB, a LIST after"
f=$work/d.wav
data=$((4294967296 + 1048576))
data_at=80  # RF64 header 12, ds64 8 + 28, "fmt " 8 + 16, data header 8
size=$((data_at + data + 8 + 1000))
truncate -s "$size" "$f"
perl -e 'print "RF64", pack("V", 0xFFFFFFFF), "WAVE", "ds64", pack("VQ<Q<Q<V", 28, $ARGV[0] - 8, $ARGV[1], $ARGV[1] / 4, 0),
               "fmt ", pack("VvvVVvv", 16, 1, 2, 44100, 176400, 4, 16), "data", pack("V", 0xFFFFFFFF)' "$size" "$data" |
  dd of="$f" conv=notrunc status=none
perl -e 'print "LIST", pack("V", 1000), "INFO"' | dd of="$f" bs=1 seek=$((data_at + data)) conv=notrunc status=none
plant "$f" $((data_at + 4294967296 + 96000)) "$work/quiet"
head -c "$data_at" "$f" > "$work/header"
region "$f" $((data_at + data)) 1008 > "$work/after-data"
run "$f"
check "exit status 0" test "$status" -eq 0
check "final progress and ', fertig!'" test "$progress" = 'Normalisiere Wave...100.0%' -a "$finished" -ge 1
check "length unchanged" test "$(stat -c %s "$f")" -eq "$size"
check "RF64 header unchanged" cmp -s -n "$data_at" "$f" "$work/header"
check "quiet block past 4 GiB: +-31750" same_region "$f" $((data_at + 4294967296 + 96000)) 200000 "$work/quiet.out"
check "the LIST after the data unchanged" same_region "$f" $((data_at + data)) 1008 "$work/after-data"
rm -f "$f"

df -h "$base"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
