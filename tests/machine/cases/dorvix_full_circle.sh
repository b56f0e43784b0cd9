# dorvix as on the imaged device, in one boot: root, no logind, no DORVIX_DEVICES and no
# DORVIX_RESET_COMMAND, so DSKn: are the machine's disks as sysfs lists them and a successful
# restore ends with sync and reboot(RB_AUTOBOOT). The machine captures a bootable 64 MiB volume
# with -imgcopy; a restore onto the disk of its mounted /boot, one from a chroot onto the disk
# that holds that chroot's root, and a restore of a truncated image are refused without a
# restart and without writing; the restore onto a 96 MiB disk says
# "Completed successfully" and restarts the machine (qemu runs with -no-reboot and ends). The
# host then checks the restored volume and boots it in qemu-system-i386 to the test kernel.
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy sfdisk
work=$MACHINE_WORK
rm -rf "$work/files"
mkdir -p "$work/files/Windows"
printf '[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ7B2,KQ3A1,KQ3A0\r\n' >"$work/files/IMAGE.INI"
head -c 300000 /dev/urandom >"$work/files/NK.BIN"
head -c 20000 /dev/urandom >"$work/files/Windows/registry.hv"
bootable_fat_disk "$work/source.img" 64 "$work/files"
cp "$MACHINE_RESOURCES/pellorin/testkernel.bin" "$work/files/KERNEL.SYS"
expect boot-source "the source disk boots to the test kernel (the boot code works before any capture)" \
  grep -q 'TESTKERNEL .*image=ok' <<<"$(boot_disk "$work/source.img" pc)"
fat_disk_image "$work/system.img" 32
# The root of a chroot: mount points for the system's folders bound into it.
rm -rf "$work/root-files"
mkdir -p "$work/root-files"/{usr,lib,lib64,proc,sys,dev,tmp}
fat_disk_image "$work/root.img" 32 "$work/root-files"
rm -f "$work/flash.img"
truncate -s 96M "$work/flash.img"
system_before=$(sha256sum <"$work/system.img")
root_before=$(sha256sum <"$work/root.img")

vm_run full-circle --smbios "type=0,version=KQ7B2 V1.00" --disk "virtio:$work/flash.img:FLASH" \
  --disk "virtio:$work/source.img:SOURCE" --disk "virtio:$work/system.img:SYSTEM" --disk "virtio:$work/root.img:ROOT" -- '
flash=$(machine_disk FLASH) && source=$(machine_disk SOURCE) && system=$(machine_disk SYSTEM) &&
  root=$(machine_disk ROOT) || exit 1
digest() { blockdev --flushbufs $1; sha256sum <$1; }
dorvix -devdump 2>/dev/null >/tmp/devdump
cat /tmp/devdump
number() { sed -n "s|^DSK\([0-9]\): $1, .*|\1|p" /tmp/devdump; }
nflash=$(number $flash) nsource=$(number $source) nsystem=$(number $system) nroot=$(number $root)
machine_result numbers "$nflash $nsource $nsystem $nroot"
[ -n "$nflash" ] && [ -n "$nsource" ] && [ -n "$nsystem" ] && [ -n "$nroot" ] || exit 1
# The running system boots from the third disk: its volume is mounted at /boot.
mkdir -p /boot && mount -t vfat -o ro ${system}1 /boot || exit 1
export DORVIX_PAUSE_MS=0
cd /tmp
dorvix -y -nor -imgcopy -targetdev:$nsource FLASH.IMG </dev/null
status=$?
echo  # the message before may end without a line end
machine_result capture $status
head -c 100000 FLASH.IMG >SHORT.IMG
flash_before=$(digest $flash)
echo "== restore onto the system disk"
dorvix -y -targetdev:$nsystem FLASH.IMG </dev/null
status=$?
echo  # the message before may end without a line end
machine_result refused-system $status
grep -q " /boot vfat " /proc/mounts && machine_result system-mounted yes
echo "== restore from a chroot onto the disk of its root"
mkdir -p /live && mount -t vfat -o ro ${root}1 /live || exit 1
for dir in usr lib lib64 proc sys dev tmp; do mount -o bind /$dir /live/$dir || exit 1; done
chroot /live /usr/bin/dorvix -y -targetdev:$nroot /tmp/FLASH.IMG </dev/null
status=$?
echo
machine_result refused-root $status
grep -q " /live vfat " /proc/mounts && machine_result root-mounted yes
echo "== restore of a truncated image"
dorvix -y -targetdev:$nflash SHORT.IMG </dev/null
status=$?
echo  # the message before may end without a line end
machine_result refused-short $status
[ "$(digest $flash)" = "$flash_before" ] && machine_result short-untouched yes
echo "@@AFTER-REFUSED@@"
dorvix -y -targetdev:$nflash FLASH.IMG </dev/null
machine_result after-restore $?
'
log=$(tr -d '\r' <"$work/full-circle.log")
expect sysfs-table "dorvix -devdump names every disk from sysfs" test "$(vm_result numbers | wc -w)" = 4
expect capture "dorvix -imgcopy captures the bootable volume (exit code 0)" test "$(vm_result capture)" = 0
expect refused-system "a restore onto the disk that holds /boot is refused (non-zero exit code)" \
  test -n "$(vm_result refused-system)" -a "$(vm_result refused-system)" != 0
expect refused-system-mounted "the system disk's volume stays mounted" test "$(vm_result system-mounted)" = yes
expect refused-system-untouched "the system disk is byte for byte as it was" \
  test "$(sha256sum <"$work/system.img")" = "$system_before"
expect refused-root "a restore from a chroot onto the disk that holds its / is refused (non-zero exit code)" \
  test -n "$(vm_result refused-root)" -a "$(vm_result refused-root)" != 0
expect refused-root-mounted "the chroot's root stays mounted" test "$(vm_result root-mounted)" = yes
expect refused-root-untouched "the chroot's root disk is byte for byte as it was" \
  test "$(sha256sum <"$work/root.img")" = "$root_before"
expect refused-short "a truncated image is refused (non-zero exit code)" \
  test -n "$(vm_result refused-short)" -a "$(vm_result refused-short)" != 0
expect refused-short-untouched "the refused run leaves its disk byte for byte as it was" \
  test "$(vm_result short-untouched)" = yes
expect no-restart-after-refusal "the machine goes on after the refused runs" grep -q '@@AFTER-REFUSED@@' <<<"$log"
expect restarts "the machine restarts after the successful restore (qemu ends, the script does not)" \
  test -z "$VM_STATUS" -a -z "$(vm_result after-restore)" -a "$VM_QEMU_STATUS" = 0
tail=$(sed -n '/@@AFTER-REFUSED@@/,$p' <<<"$log")
completed=$(grep -n 'Completed successfully' <<<"$tail" | head -n 1 | cut -d: -f1)
restarting=$(grep -n 'reboot: Restarting system' <<<"$tail" | head -n 1 | cut -d: -f1)
expect restart-order "Completed successfully is on the console before the kernel restarts" \
  test -n "$completed" -a -n "$restarting" -a "${completed:-0}" -lt "${restarting:-0}"
expect restart-by-kernel "the kernel restarted the machine rather than powering it off" \
  test -z "$(grep 'reboot: Power down' <<<"$tail")"
mbr_partition_image "$work/flash.img" "$work/restored.vol" || fail "no partition 1 on the restored disk"
expect restored-fsck "the volume restored onto the larger disk passes fsck.fat -n" fat_check "$work/restored.vol"
rm -rf "$work/restored-files" && mkdir -p "$work/restored-files"
mcopy -s -n -m -i "$work/restored.vol" '::/*' "$work/restored-files/" 2>/dev/null || true
expect restored-files "the restored volume holds the source's files (IMAGE.INI restamped)" \
  diff -r -x IMAGE.INI "$work/files" "$work/restored-files"
expect boot-restored "the restored disk boots to the test kernel, which arrives whole" \
  grep -q 'TESTKERNEL .*image=ok' <<<"$(boot_disk "$work/flash.img" pc)"
rm -f "$work/restored.vol" "$work/source.img" "$work/root.img" "$work/system.img"
