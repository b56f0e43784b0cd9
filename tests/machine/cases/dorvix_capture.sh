# dorvix -imgcopy captures a FAT16 volume that is mounted as vfat in the machine, just after
# files were written to it without sync: the image must hold them. The image goes to a second
# disk; the host reads it back with mtools and checks the source with fsck.fat.
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy sfdisk
work=$MACHINE_WORK
rm -rf "$work/files" "$work/new"
mkdir -p "$work/files/Windows" "$work/new"
printf '[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ7B2,KQ3A1,KQ3A0\r\n' >"$work/files/IMAGE.INI"
head -c 300000 /dev/urandom >"$work/files/NK.BIN"
head -c 20000 /dev/urandom >"$work/files/Windows/registry.hv"
head -c 200000 /dev/urandom >"$work/new/Written late.bin"
fat_disk_image "$work/flash.img" 64 "$work/files"
fat_disk_image "$work/out.img" 32

vm_run capture --file "$work/new:/new" --disk "virtio:$work/flash.img:FLASH" --disk "virtio:$work/out.img:OUT" -- '
flash=$(machine_disk FLASH) && out=$(machine_disk OUT) || exit 1
mkdir -p /mnt/flash /mnt/out
mount -t vfat ${flash}1 /mnt/flash && mount -t vfat ${out}1 /mnt/out || exit 1
printf "DSK1: %s\n" $flash >/tmp/devices
# Written through the page cache, no sync: only the file system knows about them yet.
cp "/new/Written late.bin" /mnt/flash/
mkdir /mnt/flash/Later
echo "a note written just before the capture" >/mnt/flash/Later/note.txt
cd /tmp
DORVIX_DEVICES=/tmp/devices DORVIX_PAUSE_MS=0 dorvix -y -nor -imgcopy -targetdev:1 /mnt/out/CAPTURE.IMG </dev/null
machine_result capture $?
grep -q " /mnt/flash " /proc/mounts && machine_result source-mounted yes
# The source was mounted again: unmount it before power-off so its dirty flag is cleared.
umount /mnt/flash 2>/dev/null
umount /mnt/out
'
expect ran "the case ran to its end" vm_ran_ok
expect capture "dorvix -imgcopy captures the mounted volume (exit code 0)" test "$(vm_result capture)" = 0
mbr_partition_image "$work/out.img" "$work/out.vol" || fail "no partition on the output disk"
mcopy -n -i "$work/out.vol" ::/CAPTURE.IMG "$work/CAPTURE.IMG" || fail "no CAPTURE.IMG on the output disk"
# The captured source partition starts at sector 2048: its body is read at 512 x 2049.
rm -rf "$work/captured" "$work/expected"
mkdir -p "$work/captured"
mcopy -s -n -m -i "$work/CAPTURE.IMG@@1049088" '::/*' "$work/captured/" || fail "mtools cannot read the image"
cp -a "$work/files" "$work/expected"
cp "$work/new/Written late.bin" "$work/expected/"
mkdir -p "$work/expected/Later"
echo "a note written just before the capture" >"$work/expected/Later/note.txt"
expect capture-unsynced "the image holds the files written without sync just before the capture" \
  diff -r -x IMAGE.INI "$work/expected" "$work/captured"
expect capture-remounts "the source volume is mounted again after the capture" \
  test "$(vm_result source-mounted)" = yes
mbr_partition_image "$work/flash.img" "$work/source.vol" || fail "no partition on the source disk"
expect capture-source-fsck "the source volume passes fsck.fat -n afterwards" fat_check "$work/source.vol"
