# Host side of the machine tests: boots the system that build-system.sh made in qemu with the
# case's disks and firmware, runs a script inside it and collects what it printed.
# Sourced by the case scripts under cases/, which ctest runs with:
#   MACHINE_SYSTEM   the directory holding vmlinuz and base.cpio.gz
#   MACHINE_WORK     an empty directory of the case's own (disk images, logs)
#   DORVIX, PELLORIN the built programs (for work on the host, e.g. making an image)
#   PELLORIN_TEST_KERNEL  the test kernel (KERNEL.SYS of the payloads), which reports on the
#                    debug console of qemu-system-i386 when a written disk boots it
#   MACHINE_SOURCE   tests/machine in the source tree
#   MACHINE_RESOURCES  resources/ in the build tree (boot code, the test kernel)
set -euo pipefail
export MTOOLS_SKIP_CHECK=1

: "${MACHINE_SYSTEM:?}" "${MACHINE_WORK:?}" "${MACHINE_SOURCE:?}"
mkdir -p "$MACHINE_WORK"

machine_requires_tools() {
  [ -n "${IMAGING_REQUIRE_TOOLS:-}" ] && [ "${IMAGING_REQUIRE_TOOLS}" != 0 ]
}

# skip_case REASON: ends the case as skipped (ctest SKIP_RETURN_CODE 77), or as failed where
# IMAGING_REQUIRE_TOOLS asks for every tool.
skip_case() {
  echo "SKIP: $*" >&2
  if machine_requires_tools; then
    exit 1
  fi
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

need_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip_case "$tool is not installed"
  done
}

[ -f "$MACHINE_SYSTEM/base.cpio.gz" ] && [ -f "$MACHINE_SYSTEM/vmlinuz" ] ||
  skip_case "the machine system was not built (see the machine_system test's output)"
need_tools qemu-system-x86_64 cpio gzip

# KVM where the system booted with it when it was built, the slower TCG otherwise; the time
# limits scale with it.
MACHINE_ACCEL=${MACHINE_ACCEL:-$(cat "$MACHINE_SYSTEM/accel" 2>/dev/null || echo tcg)}
machine_slowdown=1
[ "$MACHINE_ACCEL" = kvm ] || machine_slowdown=4

# Known faults of today's code that a case checks for: one name a line in known-faults. A
# listed check that fails is reported and the case goes on; a listed check that passes fails the
# case, so that the line is removed once the fault is mended.
machine_known_fault() {
  grep -qx "$1" <(sed -e 's/#.*//' -e 's/[[:space:]]*$//' "$MACHINE_SOURCE/known-faults")
}

# expect NAME DESCRIPTION COMMAND...: one check of the case. NAME is the check's name in
# known-faults.
expect() {
  local name=$1 description=$2
  shift 2
  if "$@"; then
    if machine_known_fault "$name"; then
      fail "$name now passes ($description); remove \"$name\" from tests/machine/known-faults"
    fi
    echo "ok: $description"
  else
    if machine_known_fault "$name"; then
      echo "KNOWN FAULT $name (listed in tests/machine/known-faults): not: $description"
      MACHINE_KNOWN_FAULTS=$(( ${MACHINE_KNOWN_FAULTS:-0} + 1 ))
    else
      fail "$name: not: $description"
    fi
  fi
}

# vm_run NAME [options] -- SCRIPT: boots the machine once and runs SCRIPT (sh text) in it.
#   --disk BUS:FILE:SERIAL[:OPTIONS]
#                           attach the image FILE (a path without ':' or ','); BUS is virtio,
#                           ide, ahci, usb-ehci or usb-xhci; the guest finds it with
#                           machine_disk SERIAL. A USB disk's qemu id is usbSERIAL (for
#                           device_del). OPTIONS, joined by '+': sector4096 (the disk reports
#                           4096-byte logical and physical sectors), failwrite=N (every write
#                           that covers 512-byte sector N fails with EIO, through blkdebug),
#                           nomedium (USB only, FILE empty: a card reader with no card in it, a
#                           removable disk whose drive holds no medium)
#   --signal NAME:COMMAND   when the guest calls machine_signal NAME, send COMMAND to qemu's
#                           monitor (e.g. device_del usbSTICK); one such pair per run
#   --file HOST:GUEST       copy a file or folder into the machine (relative GUEST: under /case)
#   --firmware NAME         seabios (default) or ovmf
#   --smbios TEXT           a -smbios argument for qemu (repeatable)
#   --memory MIB            512 by default
#   --timeout SECONDS       with KVM; the limit is longer under TCG (120 by default)
#   --qemu ARG              any further qemu argument (repeatable)
# Afterwards: $MACHINE_WORK/NAME.log is the serial console, VM_OUTPUT the case's lines,
# VM_STATUS the case script's exit status ("" when it did not run to its end), VM_QEMU_STATUS
# qemu's own (124 on timeout). Returns 0 whether or not the script succeeded; the case checks.
vm_run() {
  local name=$1
  shift
  local firmware=seabios memory=512 timeout=120 bus file serial options option host guest n=0
  local signal=""
  local -a qemu_args=() files=()
  while [ $# -gt 0 ]; do
    case $1 in
      --disk)
        IFS=: read -r bus file serial options <<<"$2"
        n=$((n + 1))
        local drive_file=$file device_extra="" medium=yes
        local -a disk_options=()
        IFS=+ read -r -a disk_options <<<"${options:-}"
        for option in ${disk_options[@]+"${disk_options[@]}"}; do
          case $option in
            nomedium)
              [ -z "$file" ] || fail "vm_run: a disk without a medium takes no image ($file)"
              case $bus in usb-*) ;; *) fail "vm_run: only a USB disk can be without a medium" ;; esac
              medium=no ;;
            sector4096) device_extra+=",logical_block_size=4096,physical_block_size=4096" ;;
            failwrite=*)
              # blkdebug between the raw format and the file: writes over that sector fail.
              printf '[inject-error]\nevent = "write_aio"\nerrno = "5"\nsector = "%s"\n' \
                "${option#failwrite=}" >"$MACHINE_WORK/$serial.blkdebug"
              drive_file="blkdebug:$MACHINE_WORK/$serial.blkdebug:$file" ;;
            *) fail "vm_run: unknown disk option $option" ;;
          esac
        done
        if [ $medium = yes ]; then
          [ -f "$file" ] || fail "vm_run: no disk image $file"
          qemu_args+=(-drive "if=none,id=disk$n,format=raw,file=$drive_file")
        else
          # An empty drive: the removable SCSI disk behind the USB device reports no medium.
          qemu_args+=(-drive "if=none,id=disk$n")
        fi
        case $bus in
          virtio) qemu_args+=(-device "virtio-blk-pci,drive=disk$n,serial=$serial$device_extra") ;;
          ide) qemu_args+=(-device "ide-hd,drive=disk$n,serial=$serial$device_extra") ;;
          ahci)
            qemu_args+=(-device "ahci,id=ahci$n" -device "ide-hd,drive=disk$n,bus=ahci$n.0,serial=$serial$device_extra") ;;
          usb-ehci|usb-xhci)
            if [ $bus = usb-ehci ]; then
              qemu_args+=(-device "usb-ehci,id=usbhost$n")
            else
              qemu_args+=(-device "qemu-xhci,id=usbhost$n")
            fi
            if [ -z "$device_extra" ]; then
              qemu_args+=(-device "usb-storage,id=usb$serial,bus=usbhost$n.0,drive=disk$n,serial=$serial,removable=on")
            else
              # usb-storage does not pass sector sizes on to its SCSI disk: the same bulk-only
              # device, with the disk made separately.
              qemu_args+=(-device "usb-bot,id=usb$serial,bus=usbhost$n.0,serial=$serial"
                -device "scsi-hd,bus=usb$serial.0,drive=disk$n,serial=$serial,removable=on$device_extra")
            fi ;;
          *) fail "vm_run: unknown bus $bus" ;;
        esac
        shift 2 ;;
      --file) files+=("$2"); shift 2 ;;
      --firmware) firmware=$2; shift 2 ;;
      --smbios) qemu_args+=(-smbios "$2"); shift 2 ;;
      --memory) memory=$2; shift 2 ;;
      --timeout) timeout=$2; shift 2 ;;
      --qemu) qemu_args+=("$2"); shift 2 ;;
      --signal) signal=$2; shift 2 ;;
      --) shift; break ;;
      *) fail "vm_run: unknown option $1" ;;
    esac
  done
  local script=$1

  case $firmware in
    seabios) ;;
    ovmf)
      local ovmf=/usr/share/ovmf/OVMF.fd
      [ -f "$ovmf" ] || skip_case "OVMF is not installed (package ovmf)"
      qemu_args+=(-bios "$ovmf") ;;
    *) fail "vm_run: unknown firmware $firmware" ;;
  esac

  # The case's own archive, appended to the system's: the kernel unpacks both.
  local caseroot="$MACHINE_WORK/$name.root"
  rm -rf "$caseroot"
  mkdir -p "$caseroot/case"
  printf '%s\n' "$script" >"$caseroot/case/case.sh"
  local entry
  for entry in ${files[@]+"${files[@]}"}; do
    host=${entry%%:*}
    guest=${entry#*:}
    [ "${guest#/}" != "$guest" ] || guest=/case/$guest
    mkdir -p "$caseroot$(dirname "$guest")"
    cp -a "$host" "$caseroot$guest"
  done
  local initrd="$MACHINE_WORK/$name.initrd"
  cp "$MACHINE_SYSTEM/base.cpio.gz" "$initrd"
  (cd "$caseroot" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 >>"$initrd"

  local log="$MACHINE_WORK/$name.log"
  rm -f "$log"
  local limit=$((timeout * machine_slowdown))
  echo "vm_run $name: $MACHINE_ACCEL, $firmware, ${memory} MiB, limit ${limit}s, log $log"
  # The monitor, where a signal is to be sent: two named pipes (qemu's pipe: back end), one
  # reader that drains what qemu answers, and a watcher of the console for the guest's marker.
  local monitor=none watcher="" drain="" pipe="$MACHINE_WORK/$name.monitor"
  if [ -n "$signal" ]; then
    rm -f "$pipe.in" "$pipe.out"
    mkfifo "$pipe.in" "$pipe.out"
    monitor="pipe:$pipe"
    cat "$pipe.out" >"$MACHINE_WORK/$name.monitor.log" &
    drain=$!
    (
      marker="@@MACHINE-SIGNAL ${signal%%:*}@@"
      until [ -f "$log" ] && grep -q "$marker" "$log"; do sleep 0.1; done
      echo "vm_run $name: the guest signalled ${signal%%:*}: ${signal#*:}"
      printf '%s\n' "${signal#*:}" >"$pipe.in"
    ) &
    watcher=$!
  fi
  VM_QEMU_STATUS=0
  timeout --kill-after=10 "$limit" qemu-system-x86_64 \
    -machine pc -accel "$MACHINE_ACCEL" -m "$memory" -smp 1 \
    -nographic -no-reboot -nodefaults -serial "file:$log" -monitor "$monitor" \
    -kernel "$MACHINE_SYSTEM/vmlinuz" -initrd "$initrd" \
    -append "console=ttyS0 quiet panic=-1 rootwait" \
    ${qemu_args[@]+"${qemu_args[@]}"} </dev/null || VM_QEMU_STATUS=$?
  if [ -n "$watcher" ]; then
    kill "$watcher" 2>/dev/null || true
    wait "$watcher" 2>/dev/null || true
    # The drain ends when qemu closes the pipe; a writer that never got in leaves it waiting.
    kill "$drain" 2>/dev/null || true
    wait "$drain" 2>/dev/null || true
    rm -f "$pipe.in" "$pipe.out"
  fi
  rm -rf "$caseroot" "$initrd"

  [ -f "$log" ] || fail "vm_run $name: qemu wrote no console log (status $VM_QEMU_STATUS)"
  # From the begin marker to the status marker, or to the end where the machine restarted.
  VM_OUTPUT=$(tr -d '\r' <"$log" | sed -n '/@@MACHINE-BEGIN@@/,/@@MACHINE-STATUS/p' | sed '1d;/@@MACHINE-STATUS/d')
  VM_STATUS=$(tr -d '\r' <"$log" | sed -n 's/.*@@MACHINE-STATUS \([0-9]*\)@@.*/\1/p' | tail -n 1)
  echo "---- $name: machine output (status ${VM_STATUS:-none}, qemu $VM_QEMU_STATUS)"
  printf '%s\n' "$VM_OUTPUT"
  echo "----"
  if [ "$VM_QEMU_STATUS" = 124 ] || [ "$VM_QEMU_STATUS" = 137 ]; then
    echo "vm_run $name: timed out after ${limit}s; the console's end:" >&2
    tail -n 30 "$log" >&2
  fi
  return 0
}

# vm_result KEY: the value the case printed with machine_result KEY VALUE.
vm_result() {
  printf '%s\n' "$VM_OUTPUT" | sed -n "s/^@@RESULT $1=\(.*\)@@\$/\1/p" | tail -n 1
}

# vm_ran_ok: the last vm_run's script ran to its end with status 0.
vm_ran_ok() {
  [ "${VM_STATUS:-}" = 0 ]
}

# ---- disks and FAT volumes on the host

# mbr_partition_image DISK OUT [N]: copies partition N (1) of DISK's MBR into OUT.
mbr_partition_image() {
  local disk=$1 out=$2 index=${3:-1}
  local entry=$((446 + 16 * (index - 1)))
  local start count
  start=$(od -A n -t u4 -j $((entry + 8)) -N 4 "$disk" | tr -d ' ')
  count=$(od -A n -t u4 -j $((entry + 12)) -N 4 "$disk" | tr -d ' ')
  [ "${count:-0}" -gt 0 ] || return 1
  dd if="$disk" of="$out" bs=512 skip="$start" count="$count" status=none conv=sparse
}

# fat_has_tree VOLUME DIR: every file under DIR is in the FAT volume under the same path, byte
# for byte, and the volume holds no other files.
fat_has_tree() {
  local volume=$1 dir=$2 rel copy status=0
  copy=$(mktemp -d "$MACHINE_WORK/copy.XXXXXX")
  mcopy -s -n -m -i "$volume" '::/*' "$copy/" 2>/dev/null || true
  if ! diff -r "$dir" "$copy" >&2; then
    status=1
  fi
  rm -rf "$copy"
  return $status
}

# fat_check VOLUME: fsck.fat finds nothing to repair.
fat_check() {
  fsck.fat -n "$1" >"$MACHINE_WORK/fsck.out" 2>&1 || { cat "$MACHINE_WORK/fsck.out" >&2; return 1; }
}

# make_flash_image DIR: a factory volume like the device's (64 MiB FAT16 by mkfs.fat, filled
# with mtools: nested folders, long names, IMAGE.INI, a documents folder), captured by the built
# dorvix -imgcopy into DIR/FLASH.IMG. DIR/files holds the files that were put on the volume,
# DIR/expected the tree the image's volume holds (read back from its body).
make_flash_image() {
  local dir=$1
  need_tools mkfs.fat mcopy mmd
  : "${DORVIX:?}"
  rm -rf "$dir"
  mkdir -p "$dir/files/Windows/Fonts" "$dir/files/Documents and Settings" "$dir/files/Program Files"
  (
    cd "$dir/files"
    printf '[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ7B2,KQ3A1,KQ3A0\r\n' >IMAGE.INI
    printf 'Factory installation of the thin client.\r\n' >'Read me first.txt'
    head -c 300000 /dev/urandom >NK.BIN
    head -c 20000 /dev/urandom >Windows/registry.hv
    head -c 5000 /dev/urandom >'Documents and Settings/Operator notes.doc'
    for i in 1 2 3; do head -c $((i * 7000)) /dev/urandom >"Windows/Fonts/Font number $i.ttf"; done
    : >'Program Files/empty file'
  )
  local volume="$dir/factory.vol"
  mkfs.fat -F 16 -s 4 -S 512 -h 32 -n FACTORY -C "$volume" $((64 * 1024)) >/dev/null
  mcopy -s -m -i "$volume" "$dir/files/"* ::
  # The factory disk: an MBR whose active partition 1 starts at sector 32, then the volume.
  {
    head -c 446 /dev/zero
    printf '\x80\x01\x01\x00\x06\x03\xe0\xd0\x20\x00\x00\x00\x00\x00\x02\x00'
    head -c 48 /dev/zero
    printf '\x55\xaa'
    head -c $((31 * 512)) /dev/zero
    cat "$volume"
  } >"$dir/factory.disk"
  rm -f "$volume"
  printf 'DSK2: %s\n' "$dir/factory.disk" >"$dir/devices"
  (cd "$dir" && DORVIX_DEVICES="$dir/devices" DORVIX_PAUSE_MS=0 DORVIX_SMBIOS_WINDOW=/nonexistent \
    "$DORVIX" -y -nor -imgcopy -targetdev:2 FLASH.IMG </dev/null >"$dir/capture.out" 2>&1) ||
    { cat "$dir/capture.out" >&2; fail "dorvix -imgcopy could not make FLASH.IMG"; }
  mkdir -p "$dir/expected"
  mcopy -s -n -m -i "$dir/FLASH.IMG@@16896" '::/*' "$dir/expected/"
  rm -f "$dir/factory.disk"
}

# fat_disk_image FILE MIB [DIR]: a disk image of MIB MiB (sparse) whose MBR holds one FAT16
# partition from sector 2048 to the end, formatted by mkfs.fat, with DIR's files on it.
fat_disk_image() {
  local file=$1 mib=$2 dir=${3:-}
  need_tools sfdisk mkfs.fat mcopy
  rm -f "$file"
  truncate -s "${mib}M" "$file"
  printf 'label: dos\nstart=2048, type=6\n' | sfdisk -q "$file" >/dev/null
  local sectors=$(( mib * 2048 - 2048 ))
  mkfs.fat -F 16 -n OLDDISK --offset 2048 -h 2048 "$file" $((sectors / 2)) >/dev/null
  if [ -n "$dir" ]; then
    mcopy -s -m -i "$file@@1048576" "$dir/"* ::
  fi
}

# bootable_fat_disk FILE MIB DIR: fat_disk_image FILE MIB DIR made bootable: partition 1
# active, dorvix's master boot record, the boot code of fixtures/bpb_boot_sector.asm in the
# volume's boot sector, and the project's test kernel as KERNEL.SYS.
bootable_fat_disk() {
  local file=$1 mib=$2 dir=$3
  need_tools nasm sfdisk
  : "${MACHINE_RESOURCES:?}"
  local mbr="$MACHINE_RESOURCES/dorvix/dorvix_mbr.bin" kernel="${PELLORIN_TEST_KERNEL:?}"
  [ -f "$mbr" ] && [ -f "$kernel" ] || fail "the boot code and test kernel were not built ($mbr, $kernel)"
  local boot="$MACHINE_WORK/bpb_boot_sector.bin"
  nasm -f bin -o "$boot" "$MACHINE_SOURCE/fixtures/bpb_boot_sector.asm" || fail "nasm failed"
  fat_disk_image "$file" "$mib" "$dir"
  sfdisk -q --activate "$file" 1 >/dev/null 2>&1 || fail "sfdisk cannot mark partition 1 active"
  dd if="$mbr" of="$file" bs=446 count=1 conv=notrunc status=none
  # The jump and the code; the parameter block between them stays mkfs.fat's.
  dd if="$boot" of="$file" bs=1 count=3 seek=1048576 conv=notrunc status=none
  dd if="$boot" of="$file" bs=1 skip=62 count=448 seek=$((1048576 + 62)) conv=notrunc status=none
  mcopy -i "$file@@1048576" "$kernel" ::KERNEL.SYS
}

# make_payload DIR: the payload files of a recovery stick: the test kernel as KERNEL.SYS, so that
# a written stick can be booted (boot_disk), and random files under the other names.
make_payload() {
  local dir=$1
  : "${PELLORIN_TEST_KERNEL:?}"
  [ -f "$PELLORIN_TEST_KERNEL" ] || fail "no test kernel $PELLORIN_TEST_KERNEL (build pellorin_test_kernel)"
  mkdir -p "$dir"
  cp "$PELLORIN_TEST_KERNEL" "$dir/KERNEL.SYS"
  head -c 66000 /dev/urandom >"$dir/COMMAND.COM"
  printf '@echo off\r\nKMV.EXE\r\n' >"$dir/AUTOEXEC.BAT"
  head -c 120000 /dev/urandom >"$dir/RECOVERY.PDF"
  head -c 80000 /dev/urandom >"$dir/KMV.EXE"
  head -c 700000 /dev/urandom >"$dir/FLASH.IMG"
}

# boot_disk DISK MACHINE: boots the disk image DISK as the first hard disk of qemu-system-i386
# with the machine type MACHINE (pc, isapc) and SeaBIOS; prints what the test kernel reported on
# the debug console. The test kernel ends the machine itself; one that never starts ends at the
# time limit.
boot_disk() {
  local disk=$1 machine=$2
  local console="$MACHINE_WORK/boot.$machine.console"
  rm -f "$console"
  timeout 60 qemu-system-i386 -M "$machine" -accel tcg -m 16 -display none -no-reboot -nodefaults \
    -boot c -drive "file=$disk,format=raw,if=ide,snapshot=on" -debugcon "file:$console" \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null >/dev/null 2>&1 || true
  cat "$console" 2>/dev/null || true
}
