#!/usr/bin/env bash
# The Windows download as a user gets it: cpack makes the zip, which is unpacked and must hold
# the program, the licence and the README in a folder of its own, the texts with Windows'
# line ends; the tolvar.exe inside, run through Wine on a console (script), normalizes a
# generated file with a blank in its name, exit status 0, to the same bytes as the Linux tool.
# Arguments: cpack, the Windows build folder, the version, the Linux build folder, a work folder.
set -euo pipefail
cpack=$1 build=$2 version=$3 linux=$4 work=$5
rm -rf "$work" && mkdir -p "$work/unpacked"
"$cpack" --config "$build/CPackConfig.cmake" -G ZIP -B "$work" >/dev/null
zip="$work/tolvar-$version-win64.zip"
[ -f "$zip" ] || { echo "no $zip; made: $(ls "$work")"; exit 1; }

folder="tolvar-$version-win64"
listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$folder/LICENSE.txt" "$folder/README.txt" "$folder/tolvar.exe")
[ "$listing" = "$expected" ] || { echo "the zip holds:"; echo "$listing"; exit 1; }
(cd "$work/unpacked" && cmake -E tar xf "$zip")
dir="$work/unpacked/$folder"
for text in LICENSE.txt README.txt; do
  lines=$(wc -l < "$dir/$text")
  crlf=$(grep -c $'\r$' "$dir/$text" || true)
  [ "$lines" -gt 0 ] && [ "$crlf" -eq "$lines" ] ||
    { echo "$text: $crlf of $lines lines end with CR LF"; exit 1; }
done

"$linux/tolvar-wavgen" demo "$work/take 1.wav" >/dev/null
cp "$work/take 1.wav" "$work/before.wav"
cp "$work/take 1.wav" "$work/linux.wav"
status=0
(cd "$work" && script -qec "wine '$dir/tolvar.exe' 'take 1.wav'" /dev/null </dev/null >screen.txt) ||
  status=$?
[ "$status" -eq 0 ] || { echo "tolvar.exe from the zip: exit status $status"; cat -v "$work/screen.txt"; exit 1; }
if cmp -s "$work/before.wav" "$work/take 1.wav"; then
  echo "tolvar.exe from the zip left the file unchanged"; exit 1
fi
(cd "$work" && script -qec "'$linux/tolvar' linux.wav" /dev/null </dev/null >/dev/null)
cmp "$work/linux.wav" "$work/take 1.wav"
echo "the zip holds $(echo "$listing" | tr '\n' ' ')and its tolvar.exe normalized a file"
