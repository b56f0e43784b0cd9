#!/usr/bin/env bash
# Restore and flat-write benchmark of dorvix, run by hand (not by CI).
#
# Builds a FAT16 source volume of 320 MiB filled with about 280 MiB of files (mkfs.fat and
# mtools), captures it with "dorvix -imgcopy" into an image of at least 256 MiB, then times,
# onto image-file disks:
#   - the default restore of that image onto a larger disk;
#   - "-writeflat" of the same image;
# each against "dd bs=1M conv=notrunc" writing the same number of bytes to the same kind of
# target in the same run. dorvix makes its writes durable (fsync) before it reports success and
# plain dd does not, so the same dd with conv=fsync is timed too. Prints every run's times and,
# from the best of the runs, the ratios (ours / dd; lower is better).
#
#   bash bench/restore_bench.sh            # uses build/imaging/dorvix
#   BUILD_DIR=build-release bash bench/restore_bench.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dorvix=${DORVIX:-$top/${BUILD_DIR:-build}/imaging/dorvix}
runs=${RUNS:-3}
[ -x "$dorvix" ] || { echo "dorvix not built: $dorvix" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/restore-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export MTOOLS_SKIP_CHECK=1 DORVIX_PAUSE_MS=0 DORVIX_SMBIOS_WINDOW=/nonexistent
export DORVIX_DEVICES="$work/devices"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "Preparing a 320 MiB FAT16 volume with about 280 MiB of files..."
mkfs.fat -F 16 -s 16 -S 512 -h 32 -n BENCH -C vol.img $((320 * 1024)) >/dev/null
mkdir -p tree/Windows/System tree/Program\ Files/Application tree/Data
head -c $((64 * 1024 * 1024)) /dev/urandom > block.bin
for i in 1 2 3; do cp block.bin "tree/Data/archive part $i.bin"; done
head -c $((40 * 1024 * 1024)) block.bin > tree/Program\ Files/Application/app.dat
for i in $(seq 1 400); do head -c $((i * 997 % 200000 + 1)) block.bin > "tree/Windows/System/file$i.sys"; done
head -c $((20 * 1024 * 1024)) block.bin > tree/Windows/registry.hv
printf '[Image]\r\nModDate=01/02/2006 03:04\r\n' > tree/IMAGE.INI
(cd tree && mcopy -s -m -i ../vol.img ./* ::)
# Source disk: MBR whose active partition 1 starts at sector 32 and holds the 655360 sectors
# of the volume, then the volume.
head -c 446 /dev/zero > source.disk
printf '\x80\x01\x01\x00\x06\x03\xe0\xd0\x20\x00\x00\x00\x00\x00\x0a\x00' >> source.disk
head -c 48 /dev/zero >> source.disk
printf '\x55\xaa' >> source.disk
head -c $((31 * 512)) /dev/zero >> source.disk
cat vol.img >> source.disk
rm -f vol.img block.bin
rm -rf tree

# 500 MiB: the FAT16 table gives it the image's 16 sectors per cluster.
target_bytes=$((500 * 1024 * 1024))
cat > devices <<EOF
DSK1: $work/source.disk
DSK2: $work/target.disk
EOF

echo "Capturing with dorvix -imgcopy..."
if "$dorvix" -y -nor -imgcopy -td:1 FLASH.IMG </dev/null >capture.log 2>&1; then
  kind="FAT-aware image captured by -imgcopy"
else
  # Without a working capture, the whole source disk serves as a headerless image.
  cp source.disk FLASH.IMG
  kind="headerless whole-disk image (capture failed: $(tail -c 200 capture.log | tr '\r\n' '  '))"
fi
bytes=$(stat -c %s FLASH.IMG)
echo "Image: $kind, $bytes bytes"
[ "$bytes" -ge $((256 * 1024 * 1024)) ] || { echo "image smaller than 256 MiB" >&2; exit 1; }

# A fresh sparse target; the sync lets the file system finish freeing the last run's blocks
# before the clock starts, so no run pays for the one before it.
fresh_target() { rm -f "$1"; truncate -s "$target_bytes" "$1"; sync; }

best() { printf '%s\n' "$@" | sort -g | head -1; }

restore_times=() ; flat_times=() ; dd_times=() ; ddsync_times=()
for run in $(seq 1 "$runs"); do
  fresh_target target.disk
  t0=$(now); "$dorvix" -y -nor -td:2 FLASH.IMG </dev/null >restore.log 2>&1 || { cat restore.log; exit 1; }; t1=$(now)
  restore_times+=("$(elapsed "$t0" "$t1")")

  fresh_target target.disk
  t0=$(now); "$dorvix" -y -nor -writeflat -td:2 FLASH.IMG </dev/null >flat.log 2>&1 || { cat flat.log; exit 1; }; t1=$(now)
  flat_times+=("$(elapsed "$t0" "$t1")")

  fresh_target dd.disk
  t0=$(now); dd if=FLASH.IMG of=dd.disk bs=1M conv=notrunc status=none; t1=$(now)
  dd_times+=("$(elapsed "$t0" "$t1")")

  fresh_target dd.disk
  t0=$(now); dd if=FLASH.IMG of=dd.disk bs=1M conv=notrunc,fsync status=none; t1=$(now)
  ddsync_times+=("$(elapsed "$t0" "$t1")")
  printf 'Run %d: restore %s s, -writeflat %s s, dd %s s, dd conv=fsync %s s\n' "$run" \
    "${restore_times[-1]}" "${flat_times[-1]}" "${dd_times[-1]}" "${ddsync_times[-1]}"
done
rm -f target.disk dd.disk

r=$(best "${restore_times[@]}"); f=$(best "${flat_times[@]}")
d=$(best "${dd_times[@]}"); s=$(best "${ddsync_times[@]}")
printf '\nBest of %d runs, %d bytes:\n' "$runs" "$bytes"
printf '  %-22s %8s   %-12s %s\n' "" "seconds" "ratio to dd" "ratio to dd conv=fsync"
printf '  %-22s %8.3f   %-12s %s\n' "dorvix restore" "$r" "$(ratio "$r" "$d")" "$(ratio "$r" "$s")"
printf '  %-22s %8.3f   %-12s %s\n' "dorvix -writeflat" "$f" "$(ratio "$f" "$d")" "$(ratio "$f" "$s")"
printf '  %-22s %8.3f\n' "dd bs=1M" "$d"
printf '  %-22s %8.3f\n' "dd bs=1M conv=fsync" "$s"
