# dorvix restores FLASH.IMG onto a flash disk attached as virtio, as AHCI and as USB mass
# storage, each holding an old mounted FAT partition; the image lies on a second, mounted disk
# (DSK2:). The host checks each disk afterwards with fsck.fat and mtools, file by file.
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy sfdisk
work=$MACHINE_WORK
make_flash_image "$work/image"
mkdir -p "$work/source-files" "$work/old-files"
cp "$work/image/FLASH.IMG" "$work/source-files/"
echo "the old installation" >"$work/old-files/OLD.TXT"
fat_disk_image "$work/source.img" 32 "$work/source-files"
buses="virtio ahci usb-xhci"
disks=()
for bus in $buses; do
  fat_disk_image "$work/flash-$bus.img" 96 "$work/old-files"
  disks+=(--disk "$bus:$work/flash-$bus.img:FLASH${bus//-/}")
done

vm_run restore --smbios "type=0,version=KQ7B2 V1.00" --disk "virtio:$work/source.img:SOURCE" "${disks[@]}" -- "
source=\$(machine_disk SOURCE) || exit 1
mkdir -p /mnt/source && mount -t vfat -o ro \${source}1 /mnt/source || exit 1
for serial in FLASHvirtio FLASHahci FLASHusbxhci; do
  flash=\$(machine_disk \$serial) || exit 1
  mkdir -p /mnt/\$serial && mount -t vfat \${flash}1 /mnt/\$serial || exit 1
  printf 'DSK1: %s\nDSK2: %s\n' \$flash \$source >/tmp/devices
  echo \"== \$serial on \$flash\"
  machine_result devdump-\$serial \"\$(DORVIX_DEVICES=/tmp/devices dorvix -devdump 2>/dev/null | grep 'DSK1: TS:')\"
  (cd /mnt/source && DORVIX_DEVICES=/tmp/devices DORVIX_PAUSE_MS=0 dorvix -y -nor FLASH.IMG </dev/null)
  machine_result restore-\$serial \$?
  grep -q ' /mnt/source ' /proc/mounts && machine_result source-mounted-\$serial yes
  if grep -q \" /mnt/\$serial \" /proc/mounts; then
    machine_result remounted-\$serial \"\$(ls /mnt/\$serial | tr '\n' ' ')\"
    umount /mnt/\$serial
  fi
done
"
expect ran "the case ran to its end" vm_ran_ok
for bus in $buses; do
  serial=FLASH${bus//-/}
  expect "restore-$bus" "dorvix restores onto the $bus flash disk (exit code 0)" test "$(vm_result restore-$serial)" = 0
  devdump=$(vm_result devdump-$serial)
  echo "dorvix -devdump on $bus: $devdump"
  expect "devdump-$bus" "dorvix -devdump shows the $bus flash disk with 512-byte sectors" \
    grep -qE 'DSK1: TS:[0-9A-F]{8} BS:0200 ' <<<"$devdump"
  expect "restore-source-$bus" "the image's disk stays mounted during the $bus restore" \
    test "$(vm_result source-mounted-$serial)" = yes
  mbr_partition_image "$work/flash-$bus.img" "$work/restored-$bus.vol" || fail "$bus: no partition 1"
  expect "restore-fsck-$bus" "fsck.fat -n passes the restored $bus volume" fat_check "$work/restored-$bus.vol"
  expect "restore-files-$bus" "the restored $bus volume holds the image's files byte for byte" \
    fat_has_tree "$work/restored-$bus.vol" "$work/image/expected"
  expect "remount-after-restore" "the restored $bus volume is mounted again where the old one was" \
    grep -q 'NK.BIN' <<<"$(vm_result remounted-$serial)"
  rm -f "$work/restored-$bus.vol"
done
# The image itself leaves the documents folder out and holds the rest as put on the volume.
rm -rf "$work/image/files/Documents and Settings"
expect image-tree "FLASH.IMG holds the factory files but the documents folder" \
  diff -r -x IMAGE.INI "$work/image/files" "$work/image/expected"
