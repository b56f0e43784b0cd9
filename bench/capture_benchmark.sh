#!/usr/bin/env bash
# Capture benchmark: `dorvix -imgcopy` against `partclone.fat16 -c` on the same FAT16 volume
# in one run. Prints both times, the time ratio (ours / partclone) and the image-size ratio.
#
#   bash bench/capture_benchmark.sh [build-dir] [volume-MiB]
#
# The volume (default 500 MiB, at sector 32 of a disk image) is made by mkfs.fat and filled by
# mtools with a realistic tree: copies of /usr/share/doc and /usr/include, a few large files,
# and deleted files so that later files are fragmented. Both tools read it from the page cache
# after a warm-up read, so the figures compare the programs, not the disk. partclone runs
# without checksums (-a 0), its fastest and smallest form.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
mib=${2:-500}
dorvix=$build/imaging/dorvix
[ -x "$dorvix" ] || { echo "dorvix not built in $build" >&2; exit 1; }
command -v partclone.fat16 >/dev/null || { echo "partclone.fat16 not installed" >&2; exit 1; }

work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
start=32
sectors=$((mib * 2048))
disk=$work/disk.img
truncate -s $(((start + sectors) * 512)) "$disk"
mkfs.fat -F 16 --offset $start -h $start -a -i 1A2B3C4D -n BENCH "$disk" $((sectors / 2)) >/dev/null
part="$disk@@$((start * 512))"
# MBR: partition entry 1 (active, FAT16, first sector $start, $sectors sectors) and signature.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
printf "\x80\x01\x01\x00\x06\xfe\xff\xff$(le32 $start)$(le32 $sectors)" | dd of="$disk" bs=1 seek=446 conv=notrunc status=none
printf '\x55\xaa' | dd of="$disk" bs=1 seek=510 conv=notrunc status=none

echo "Filling a ${mib} MiB FAT16 volume..."
mmd -i "$part" ::/Windows ::/Program\ Files ::/Temp
# Interleave writes and deletions so that later files are fragmented.
for i in $(seq 1 40); do
  head -c $((i * 37 * 1024)) /dev/urandom >"$work/t$i"
  mcopy -i "$part" "$work/t$i" ::/Temp/t$i.bin
done
for i in $(seq 1 2 40); do mdel -i "$part" ::/Temp/t$i.bin; done
for i in 1 2; do
  head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/big$i"
  mcopy -i "$part" "$work/big$i" "::/Program Files/big$i.dat"
done
mcopy -s -i "$part" /usr/include ::/Windows/include 2>/dev/null || true
mcopy -s -i "$part" /usr/share/doc ::/Windows/doc 2>/dev/null || true
mmd -i "$part" "::/Documents and Settings"
mcopy -i "$part" "$work/t2" "::/Documents and Settings/user.dat"
printf '[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ7B2,KQ3A1\r\n' >"$work/IMAGE.INI"
mcopy -i "$part" "$work/IMAGE.INI" ::/IMAGE.INI
rm -f "$work"/t* "$work"/big*
minfo -i "$part" :: | grep -E "sectors per cluster|big size" || true
files=$(mdir -/ -b -i "$part" ::/ | wc -l)
echo "Tree: $files files and directories"

# partclone reads the partition alone.
partition=$work/partition.img
dd if="$disk" of="$partition" bs=1M iflag=skip_bytes skip=$((start * 512)) status=none
cat "$disk" "$partition" >/dev/null

cat >"$work/devices" <<TABLE
DSK1: $disk
TABLE
export DORVIX_DEVICES=$work/devices

now() { date +%s.%N; }
t0=$(now)
# A path that begins with "/" would be taken for an option: run in the work directory.
(cd "$work" && "$dorvix" -imgcopy -targetdev:1 -y -norestart capture.kmv) >"$work/dorvix.log" 2>&1 || {
  cat "$work/dorvix.log"; exit 1; }
t1=$(now)
partclone.fat16 -c -q -a 0 -s "$partition" -o "$work/capture.pc" >"$work/partclone.log" 2>&1 || {
  cat "$work/partclone.log"; exit 1; }
t2=$(now)

ours=$(awk "BEGIN { print $t1 - $t0 }")
theirs=$(awk "BEGIN { print $t2 - $t1 }")
ourSize=$(stat -c %s "$work/capture.kmv")
theirSize=$(stat -c %s "$work/capture.pc")
printf 'dorvix -imgcopy     %8.3f s  %12d bytes\n' "$ours" "$ourSize"
printf 'partclone.fat16 -c  %8.3f s  %12d bytes\n' "$theirs" "$theirSize"
awk "BEGIN { printf \"time ratio (dorvix / partclone): %.3f\\n\", $ours / $theirs }"
awk "BEGIN { printf \"size ratio (dorvix / partclone): %.3f\\n\", $ourSize / $theirSize }"
