# pellorin formats USB sticks in a machine: a 64 MiB stick on EHCI and a 2 GiB one on XHCI,
# each holding an old mounted FAT partition, beside a virtio system disk. pellorin drives must
# offer the sticks and not the system disk; pellorin usb formats each stick, after which the
# kernel lists its new partition and mounts it with every payload file. The host checks each
# stick with fsck.fat and mtools. The system disk and a stick's partition are refused, nothing
# written. A third stick's old partition is held open (not mounted) by another process: the
# kernel then refuses to re-read the partition table, and pellorin must delete the stick's SCSI
# device and rescan its host instead. A card reader without a card is listed with its reason and
# refused. On the host, the formatted sticks boot the payload's test kernel in qemu-system-i386
# (SeaBIOS, machine types pc and isapc).
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy sfdisk qemu-system-i386
work=$MACHINE_WORK
rm -rf "$work/payload" "$work/old-files"
make_payload "$work/payload"
mkdir -p "$work/old-files"
echo "an old file" >"$work/old-files/OLD.TXT"
fat_disk_image "$work/system.img" 64 "$work/old-files"
fat_disk_image "$work/stick-ehci.img" 64 "$work/old-files"
fat_disk_image "$work/stick-xhci.img" 2048 "$work/old-files"
fat_disk_image "$work/stick-held.img" 64 "$work/old-files"
system_before=$(sha256sum <"$work/system.img")

vm_run usb --file "$work/payload:/payload" --disk "virtio:$work/system.img:SYSTEM" \
  --disk "usb-ehci:$work/stick-ehci.img:STICKEHCI" --disk "usb-xhci:$work/stick-xhci.img:STICKXHCI" \
  --disk "usb-xhci:$work/stick-held.img:STICKHELD" --disk "usb-ehci::READER:nomedium" -- '
system=$(machine_disk SYSTEM) || exit 1
mkdir -p /mnt/system && mount -t vfat -o ro ${system}1 /mnt/system || exit 1
for serial in STICKEHCI STICKXHCI STICKHELD; do
  stick=$(machine_disk $serial) || exit 1
  [ $serial = STICKHELD ] && continue
  mkdir -p /mnt/old-$serial && mount -t vfat ${stick}1 /mnt/old-$serial || exit 1
done
echo "== pellorin drives"
pellorin drives >/tmp/drives 2>&1
machine_result drives-status $?
cat /tmp/drives
machine_result drives-system "$(grep "^$system[: ]" /tmp/drives | head -n 1)"
# Refused: the virtio system disk (not USB), and a stick'"'"'s partition instead of its disk.
echo "== pellorin usb $system"
pellorin usb $system --yes --payload /payload </dev/null 2>&1
machine_result refuse-system $?
stick=$(machine_disk STICKEHCI)
echo "== pellorin usb ${stick}1"
pellorin usb ${stick}1 --yes --payload /payload </dev/null 2>&1
machine_result refuse-partition $?
grep -q " /mnt/old-STICKEHCI " /proc/mounts && machine_result kept-mounted yes
# A card reader with no card: a removable SCSI disk of size 0 on the USB bus.
reader=$(machine_disk READER) || exit 1
machine_result drives-READER "$(grep "^$reader[: ]" /tmp/drives | head -n 1)"
echo "== pellorin usb $reader (READER)"
pellorin usb $reader --yes --payload /payload </dev/null >/tmp/usb.out 2>&1
machine_result usb-READER $?
cat /tmp/usb.out
tr "\r\n" "  " </tmp/usb.out | grep -q "does not appear to be a valid USB flash device" &&
  machine_result string1-READER yes
for serial in STICKEHCI STICKXHCI STICKHELD; do
  stick=$(machine_disk $serial)
  name=${stick#/dev/}
  holder=
  if [ $serial = STICKHELD ]; then
    sleep 100000 <${stick}1 &
    holder=$!
  fi
  machine_result drives-$serial "$(grep "^$stick[: ]" /tmp/drives | head -n 1)"
  echo "== pellorin usb $stick ($serial)"
  pellorin usb $stick --yes --payload /payload </dev/null >/tmp/usb.out 2>&1
  machine_result usb-$serial $?
  cat /tmp/usb.out
  [ -n "$holder" ] && kill $holder
  grep -q " /mnt/old-$serial " /proc/mounts || machine_result unmounted-$serial yes
  # When the kernel refuses BLKRRPART, pellorin says so and deletes and rescans the SCSI device.
  grep -q "Could not re-enum" /tmp/usb.out && machine_result rescan-$serial yes
  stick=$(machine_disk $serial)
  name=${stick#/dev/}
  if [ $serial = STICKHELD ]; then
    # The stick comes back from the rescan as a new disk, perhaps under another name, and the
    # kernel reads its partitions after the disk appears.
    machine_wait_partition $stick 1 && machine_result partition-$serial yes
  else
    grep -q " ${name}1\$" /proc/partitions && machine_result partition-$serial yes
  fi
  mkdir -p /mnt/new-$serial
  if mount -t vfat ${stick}1 /mnt/new-$serial; then
    machine_result mounted-$serial yes
    listed=yes
    for file in /payload/*; do
      cmp "$file" "/mnt/new-$serial/${file##*/}" || listed=no
    done
    machine_result files-$serial $listed
    umount /mnt/new-$serial
  fi
done
'
expect ran "the case ran to its end" vm_ran_ok
expect drives "pellorin drives succeeds" test "$(vm_result drives-status)" = 0
system_line=$(vm_result drives-system)
echo "system disk: $system_line"
expect drives-system "pellorin drives lists the virtio system disk as not formattable, with a reason" \
  grep -qE " no: .+" <<<"$system_line"
expect refuse-system "pellorin usb refuses the virtio system disk (exit code 3)" test "$(vm_result refuse-system)" = 3
expect refuse-system-untouched "the refused system disk is byte for byte as it was" \
  test "$(sha256sum <"$work/system.img")" = "$system_before"
expect refuse-partition "pellorin usb refuses a stick's partition (exit code 3)" test "$(vm_result refuse-partition)" = 3
expect refuse-partition-mounted "the refused stick's partition stays mounted" test "$(vm_result kept-mounted)" = yes
line=$(vm_result drives-READER)
echo "card reader: $line"
expect drives-reader "pellorin drives lists the card reader without a medium as not formattable: no medium" \
  grep -qE " usb +no: no medium" <<<"$line"
expect refuse-reader "pellorin usb refuses the card reader without a medium (exit code 3, string 1)" \
  test "$(vm_result usb-READER)" = 3 -a "$(vm_result string1-READER)" = yes
for bus in ehci xhci held; do
  serial=STICK${bus^^}
  line=$(vm_result drives-$serial)
  echo "$bus stick: $line"
  expect "drives-usb-$bus" "pellorin drives lists the $bus stick as a USB disk that can be formatted" \
    grep -qE " usb +yes" <<<"$line"
  expect "usb-$bus" "pellorin usb formats the $bus stick (exit code 0)" test "$(vm_result usb-$serial)" = 0
  [ $bus = held ] || expect "usb-unmounted-$bus" "the old partition of the $bus stick is unmounted" test "$(vm_result unmounted-$serial)" = yes
  if [ "$(vm_result rescan-$serial)" = yes ]; then
    echo "the kernel refused BLKRRPART for the $bus stick: its SCSI device was deleted and rescanned"
  else
    echo "the kernel re-read the $bus stick's partition table (BLKRRPART accepted, no rescan)"
  fi
  [ $bus != held ] || expect usb-rescan "the kernel refused BLKRRPART for the held stick and pellorin rescanned it" \
    test "$(vm_result rescan-$serial)" = yes
  expect "usb-partition-$bus" "/proc/partitions lists the new partition of the $bus stick" \
    test "$(vm_result partition-$serial)" = yes
  expect "usb-mount-$bus" "the new partition of the $bus stick mounts as vfat" test "$(vm_result mounted-$serial)" = yes
  expect "usb-files-$bus" "the mounted $bus stick holds every payload file byte for byte" \
    test "$(vm_result files-$serial)" = yes
  mbr_partition_image "$work/stick-$bus.img" "$work/stick-$bus.vol" || fail "$bus: no partition 1"
  expect "usb-fsck-$bus" "fsck.fat -n passes the $bus stick" fat_check "$work/stick-$bus.vol"
  expect "usb-tree-$bus" "mtools reads every payload file back from the $bus stick, and nothing else" \
    fat_has_tree "$work/stick-$bus.vol" "$work/payload"
  rm -f "$work/stick-$bus.vol"
  [ $bus = held ] && continue
  for machine in pc isapc; do
    console=$(boot_disk "$work/stick-$bus.img" $machine)
    echo "$bus stick, qemu-system-i386 -M $machine: ${console:-(nothing on the debug console)}"
    expect "usb-boot-$bus-$machine" "the $bus stick boots the test kernel on SeaBIOS (-M $machine)" \
      grep -q "TESTKERNEL cs=0060 bl=80 dl=80 image=ok" <<<"$console"
  done
done
