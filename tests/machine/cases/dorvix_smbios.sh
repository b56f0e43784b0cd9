# The machine's BIOS publishes version "XYZ" in SMBIOS (qemu -smbios type=0): dorvix -d must
# show it, and refuse an image made for other BIOS families, the disk left as it was. With
# SeaBIOS the SMBIOS entry point lies in the BIOS area below 1 MiB; with OVMF (UEFI) it does
# not, and the kernel finds the tables through the UEFI system table instead.
source "$MACHINE_SOURCE/machine.sh"
firmware=${1:-seabios}
need_tools sfdisk mcopy
work=$MACHINE_WORK
make_flash_image "$work/image"
rm -rf "$work/source-files" && mkdir -p "$work/source-files"
cp "$work/image/FLASH.IMG" "$work/source-files/"
fat_disk_image "$work/source.img" 32 "$work/source-files"
truncate -s 0 "$work/flash.img"
truncate -s 96M "$work/flash.img"
head -c 1M /dev/urandom | dd of="$work/flash.img" conv=notrunc status=none
before=$(sha256sum <"$work/flash.img")

vm_run smbios --firmware "$firmware" --smbios "type=0,version=XYZ" --disk "virtio:$work/source.img:SOURCE" \
  --disk "virtio:$work/flash.img:FLASH" -- '
source=$(machine_disk SOURCE) && flash=$(machine_disk FLASH) || exit 1
mkdir -p /mnt/source && mount -t vfat -o ro ${source}1 /mnt/source || exit 1
printf "DSK1: %s\nDSK2: %s\n" $flash $source >/tmp/devices
cd /mnt/source
DORVIX_DEVICES=/tmp/devices DORVIX_PAUSE_MS=0 dorvix -d -y -nor FLASH.IMG </dev/null >/tmp/out 2>&1
machine_result restore $?
cat /tmp/out
'
expect ran "the case ran to its end" vm_ran_ok
expect smbios-version-$firmware "dorvix -d shows the BIOS version XYZ from SMBIOS ($firmware)" \
  grep -q 'BIOS = (XYZ)' <<<"$VM_OUTPUT"
expect smbios-refuses-$firmware "an image for KQ7B2,KQ3A1,KQ3A0 is refused on BIOS XYZ" \
  grep -q 'The system is not supported by the image!' <<<"$VM_OUTPUT"
expect smbios-untouched-$firmware "the refused image leaves the disk byte for byte as it was" \
  test "$(sha256sum <"$work/flash.img")" = "$before" -a "$(vm_result restore)" != 0
