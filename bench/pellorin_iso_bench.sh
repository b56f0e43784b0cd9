#!/usr/bin/env bash
# Benchmark: `pellorin iso` on a payload of about 256 MiB, against the same bootable CD made by
# hand with peer tools (mkfs.fat + mcopy for the FAT16 partition, the boot track put in front,
# xorriso -as mkisofs -hard-disk-boot for the El Torito CD), and against the floor: `cp` of the
# payload files into a folder beside the image, flushed with `sync` as our image is flushed
# before it is renamed into place. Prints the best of a few runs of each and the ratios of our
# time to the floor's and to the peers', in one run.
#
#   bash bench/pellorin_iso_bench.sh            # builds an optimised pellorin in build-bench/
#   PELLORIN=/path/to/pellorin bash bench/pellorin_iso_bench.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
flash_mib=${FLASH_MIB:-256}

if [ -z "${PELLORIN:-}" ]; then
  launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  cmake -S "$top" -B "$top/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMAGING_TESTS=OFF "${launcher[@]}" >/dev/null
  cmake --build "$top/build-bench" -j2 --target pellorin pellorin_test_kernel >/dev/null
  PELLORIN=$top/build-bench/media/pellorin
  kernel=$top/build-bench/resources/pellorin/testkernel.bin
else
  kernel=${KERNEL:-}
fi
export MTOOLS_SKIP_CHECK=1

work=$(mktemp -d "${TMPDIR:-/tmp}/isobench.XXXXXX")
trap 'rm -rf "$work"' EXIT
payload=$work/payload
mkdir -p "$payload"
if [ -n "$kernel" ] && [ -f "$kernel" ]; then cp "$kernel" "$payload/KERNEL.SYS"; else head -c 45000 /dev/urandom >"$payload/KERNEL.SYS"; fi
head -c 66000 /dev/urandom >"$payload/COMMAND.COM"
printf '@ECHO OFF\r\nKMV.EXE\r\n' >"$payload/AUTOEXEC.BAT"
head -c 900000 /dev/urandom >"$payload/RECOVERY.PDF"
head -c 300000 /dev/urandom >"$payload/KMV.EXE"
head -c $((flash_mib * 1048576)) /dev/urandom >"$payload/FLASH.IMG"
files=(KERNEL.SYS COMMAND.COM AUTOEXEC.BAT RECOVERY.PDF KMV.EXE FLASH.IMG)
echo "payload: $(du -sm "$payload" | cut -f1) MiB in ${#files[@]} files"

now() { date +%s.%N; }
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

ours_best=""
for ((i = 0; i < runs; i++)); do
  rm -f "$work/ours.iso"
  t0=$(now)
  "$PELLORIN" iso "$work/ours.iso" --payload "$payload" --yes >/dev/null 2>&1
  t1=$(now)
  ours_best=$(best "$ours_best" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")
done

# The floor: the same bytes copied once, made as durable as our image.
cp_best=""
cp_only_best=""
for ((i = 0; i < runs; i++)); do
  rm -rf "$work/copy" && mkdir -p "$work/copy"
  t0=$(now)
  cp "${files[@]/#/$payload/}" "$work/copy/"
  tc=$(now)
  sync "$work/copy/"*
  t1=$(now)
  cp_best=$(best "$cp_best" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")
  cp_only_best=$(best "$cp_only_best" "$(awk -v a="$t0" -v b="$tc" 'BEGIN { print b - a }')")
done
rm -rf "$work/copy"

# The peers make the same disk: the partition's size and start as ours has them.
mbr_at=$((47104 / 512))
part_sectors=$(od -An -tu4 -j $((47104 + 0x1BE + 12)) -N4 "$work/ours.iso" | tr -d ' ')
part_start=$(od -An -tu4 -j $((47104 + 0x1BE + 8)) -N4 "$work/ours.iso" | tr -d ' ')

peer_best=""
for ((i = 0; i < runs; i++)); do
  rm -rf "$work/peer" && mkdir -p "$work/peer/cd"
  t0=$(now)
  mkfs.fat -F 16 -S 512 -h "$part_start" -C "$work/peer/part.img" $((part_sectors / 2)) >/dev/null
  for f in "${files[@]}"; do mcopy -i "$work/peer/part.img" "$payload/$f" ::"$f"; done
  {
    dd if="$work/ours.iso" bs=512 skip=$mbr_at count=1 status=none  # boot record with the partition table
    head -c $(((part_start - 1) * 512)) /dev/zero
    cat "$work/peer/part.img"
  } >"$work/peer/cd/disk.img"
  xorriso -as mkisofs -quiet -o "$work/peer/peer.iso" -b disk.img -hard-disk-boot "$work/peer/cd" >/dev/null 2>&1
  t1=$(now)
  peer_best=$(best "$peer_best" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")
done

printf 'pellorin iso:                          %8.3f s  (%s MiB image)\n' "$ours_best" "$(($(stat -c %s "$work/ours.iso") / 1048576))"
printf 'mkfs.fat + mcopy + xorriso -as mkisofs: %8.3f s  (%s MiB image)\n' "$peer_best" "$(($(stat -c %s "$work/peer/peer.iso") / 1048576))"
printf 'cp + sync of the payload files:         %8.3f s\n' "$cp_best"
printf 'cp alone (not yet on the disk):         %8.3f s\n' "$cp_only_best"
awk -v a="$ours_best" -v b="$cp_best" 'BEGIN { printf "ratio (ours / cp + sync): %.2f  (goal: at most 1.5)\n", a / b }'
awk -v a="$ours_best" -v b="$cp_only_best" 'BEGIN { printf "ratio (ours / cp alone): %.2f  (ours includes its fsync)\n", a / b }'
awk -v a="$ours_best" -v b="$peer_best" 'BEGIN { printf "ratio (ours / peers): %.2f\n", a / b }'
