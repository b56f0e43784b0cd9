# With DORVIX_RESET_COMMAND set to "reboot -f", a refused restore leaves the machine running
# and its disk as it was; a successful one says "Completed successfully" and then really
# restarts it (qemu runs with -no-reboot, so the restart ends qemu). reboot -f does not sync:
# the restored volume is whole only if dorvix flushed it before the reset.
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy sfdisk
work=$MACHINE_WORK
make_flash_image "$work/image"
rm -rf "$work/source-files" && mkdir -p "$work/source-files"
cp "$work/image/FLASH.IMG" "$work/source-files/"
head -c 100000 "$work/image/FLASH.IMG" >"$work/source-files/SHORT.IMG"
fat_disk_image "$work/source.img" 32 "$work/source-files"
truncate -s 0 "$work/flash.img" "$work/other.img"
truncate -s 96M "$work/flash.img" "$work/other.img"
head -c 1M /dev/urandom | dd of="$work/other.img" conv=notrunc status=none
before=$(sha256sum <"$work/other.img")

vm_run reboot --smbios "type=0,version=KQ7B2 V1.00" --disk "virtio:$work/source.img:SOURCE" \
  --disk "virtio:$work/flash.img:FLASH" --disk "virtio:$work/other.img:OTHER" -- '
source=$(machine_disk SOURCE) && flash=$(machine_disk FLASH) && other=$(machine_disk OTHER) || exit 1
mkdir -p /mnt/source && mount -t vfat -o ro ${source}1 /mnt/source || exit 1
printf "DSK1: %s\nDSK2: %s\nDSK3: %s\n" $flash $source $other >/tmp/devices
cd /mnt/source
export DORVIX_DEVICES=/tmp/devices DORVIX_PAUSE_MS=0 DORVIX_RESET_COMMAND="reboot -f"
dorvix -y -targetdev:3 SHORT.IMG </dev/null
machine_result refused $?
echo "@@AFTER-REFUSED@@"
dorvix -y FLASH.IMG </dev/null
machine_result after-restore $?
'
log=$(tr -d '\r' <"$MACHINE_WORK/reboot.log")
expect reboot-refused "a truncated image is refused (non-zero exit code)" \
  test -n "$(vm_result refused)" -a "$(vm_result refused)" != 0
expect reboot-refused-untouched "the refused run leaves its disk byte for byte as it was" \
  test "$(sha256sum <"$work/other.img")" = "$before"
expect reboot-not-after-refusal "the machine goes on after the refused run" grep -q '@@AFTER-REFUSED@@' <<<"$log"
expect reboot-restarts "the machine restarts after the successful restore" \
  test -z "$VM_STATUS" -a -z "$(vm_result after-restore)" -a "$VM_QEMU_STATUS" = 0
expect reboot-announced "Completed successfully is on the console before the restart" \
  grep -q 'Completed successfully' <<<"$(sed -n '/@@AFTER-REFUSED@@/,$p' <<<"$log")"
mbr_partition_image "$work/flash.img" "$work/restored.vol" || fail "no partition 1 on the flash disk"
expect reboot-durable "the volume restored before the restart passes fsck.fat -n" fat_check "$work/restored.vol"
expect reboot-durable-files "the volume restored before the restart holds the image's files" \
  fat_has_tree "$work/restored.vol" "$work/image/expected"
