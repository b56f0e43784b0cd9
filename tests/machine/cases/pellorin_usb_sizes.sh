# pellorin on sticks of other sizes and sector sizes: a 16 GiB stick (sparse image; FAT16 uses
# its first 2 GiB at most) holding an old mounted partition must be formatted like the small
# ones; a stick that reports 4096-byte logical sectors must be either refused with nothing
# written or written so that the kernel reads the new partition and every payload file.
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy sfdisk mkfs.fat
work=$MACHINE_WORK
rm -rf "$work/payload" "$work/old-files"
make_payload "$work/payload"
mkdir -p "$work/old-files"
echo "an old file" >"$work/old-files/OLD.TXT"
# 16 GiB, sparse, with an old 1 GiB FAT16 partition at sector 2048.
rm -f "$work/stick-big.img"
truncate -s 16G "$work/stick-big.img"
printf 'label: dos\nstart=2048, size=2097152, type=6\n' | sfdisk -q "$work/stick-big.img" >/dev/null
mkfs.fat -F 16 -n OLDDISK --offset 2048 -h 2048 "$work/stick-big.img" 1048576 >/dev/null
mcopy -s -m -i "$work/stick-big.img@@1048576" "$work/old-files/"* ::
fat_disk_image "$work/stick-4k.img" 64 "$work/old-files"
four_k_before=$(sha256sum <"$work/stick-4k.img")

vm_run sizes --file "$work/payload:/payload" \
  --disk "usb-xhci:$work/stick-big.img:STICKBIG" --disk "usb-ehci:$work/stick-4k.img:STICK4K:sector4096" -- '
big=$(machine_disk STICKBIG) || exit 1
four=$(machine_disk STICK4K) || exit 1
machine_result sector-4k "$(cat /sys/block/${four#/dev/}/queue/logical_block_size)"
mkdir -p /mnt/old && mount -t vfat ${big}1 /mnt/old || exit 1
pellorin drives >/tmp/drives 2>&1
machine_result drives-status $?
cat /tmp/drives
for serial in STICKBIG STICK4K; do
  stick=$(machine_disk $serial)
  machine_result drives-$serial "$(grep "^$stick[: ]" /tmp/drives | head -n 1)"
  echo "== pellorin usb $stick ($serial)"
  pellorin usb $stick --yes --payload /payload </dev/null >/tmp/usb.out 2>&1
  machine_result usb-$serial $?
  cat /tmp/usb.out
  tr "\r\n" "  " </tmp/usb.out | grep -q "An unexpected error occurred while writing to the USB flash device" &&
    machine_result string3-$serial yes
  grep -q "has 4096-byte logical sectors; a recovery disk needs 512-byte sectors" /tmp/usb.out &&
    machine_result sectors-$serial yes
  stick=$(machine_disk $serial)
  machine_wait_partition $stick 1 && machine_result partition-$serial yes
  mkdir -p /mnt/new-$serial
  if mount -t vfat ${stick}1 /mnt/new-$serial 2>/dev/null; then
    machine_result mounted-$serial yes
    listed=yes
    for file in /payload/*; do
      cmp "$file" "/mnt/new-$serial/${file##*/}" || listed=no
    done
    machine_result files-$serial $listed
    umount /mnt/new-$serial
  fi
done
grep -q " /mnt/old " /proc/mounts || machine_result unmounted-big yes
'
expect ran "the case ran to its end" vm_ran_ok
expect drives "pellorin drives succeeds" test "$(vm_result drives-status)" = 0
line=$(vm_result drives-STICKBIG)
echo "16 GiB stick: $line"
expect drives-usb-big "pellorin drives lists the 16 GiB stick as a USB disk that can be formatted" \
  grep -qE " usb +yes" <<<"$line"
expect usb-big "pellorin usb formats the 16 GiB stick (exit code 0)" test "$(vm_result usb-STICKBIG)" = 0
expect usb-unmounted-big "the old partition of the 16 GiB stick is unmounted" test "$(vm_result unmounted-big)" = yes
expect usb-partition-big "/proc/partitions lists the new partition of the 16 GiB stick" \
  test "$(vm_result partition-STICKBIG)" = yes
expect usb-mount-big "the new partition of the 16 GiB stick mounts as vfat" test "$(vm_result mounted-STICKBIG)" = yes
expect usb-files-big "the mounted 16 GiB stick holds every payload file byte for byte" \
  test "$(vm_result files-STICKBIG)" = yes
mbr_partition_image "$work/stick-big.img" "$work/stick-big.vol" || fail "16 GiB stick: no partition 1"
expect usb-fsck-big "fsck.fat -n passes the 16 GiB stick" fat_check "$work/stick-big.vol"
expect usb-tree-big "mtools reads every payload file back from the 16 GiB stick, and nothing else" \
  fat_has_tree "$work/stick-big.vol" "$work/payload"
rm -f "$work/stick-big.vol" "$work/stick-big.img"

expect sector-4k "the 4096-byte stick reports 4096-byte logical sectors in the machine" \
  test "$(vm_result sector-4k)" = 4096
echo "4096-byte stick: $(vm_result drives-STICK4K)"
status=$(vm_result usb-STICK4K)
if [ "$status" = 0 ]; then
  echo "pellorin wrote the 4096-byte stick; the machine must read what it wrote"
  expect usb-partition-4k "/proc/partitions lists the new partition of the 4096-byte stick" \
    test "$(vm_result partition-STICK4K)" = yes
  expect usb-mount-4k "the new partition of the 4096-byte stick mounts as vfat" test "$(vm_result mounted-STICK4K)" = yes
  expect usb-files-4k "the mounted 4096-byte stick holds every payload file byte for byte" \
    test "$(vm_result files-STICK4K)" = yes
else
  echo "pellorin refused the 4096-byte stick (exit code $status)"
  expect usb-refuse-4k "pellorin refuses the 4096-byte stick with exit code 3, string 3 and a line naming its sectors" \
    test "$status" = 3 -a "$(vm_result string3-STICK4K)" = yes -a "$(vm_result sectors-STICK4K)" = yes
  expect usb-untouched-4k "the refused 4096-byte stick is byte for byte as it was" \
    test "$(sha256sum <"$work/stick-4k.img")" = "$four_k_before"
fi
