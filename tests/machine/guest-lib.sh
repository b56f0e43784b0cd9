# Helpers for the case scripts, inside the machine (busybox sh). init sources this file first.

# Whether the whole disk at /sys/block/NAME carries the serial SERIAL: virtio disks show it in
# "serial", SCSI and ATA disks in their VPD page 0x80, USB disks on their USB device.
machine_serial_is() {
  [ -f "$1/serial" ] && [ "$(cat "$1/serial")" = "$2" ] && return 0
  if [ -f "$1/device/vpd_pg80" ] && [ "$(tail -c +5 "$1/device/vpd_pg80" | tr -d ' \000')" = "$2" ]; then
    return 0
  fi
  dir=$(readlink -f "$1/device" 2>/dev/null) || return 1
  while [ -n "$dir" ] && [ "$dir" != /sys/devices ] && [ "$dir" != / ]; do
    if [ -f "$dir/serial" ] && [ -f "$dir/idVendor" ] && [ "$(cat "$dir/serial")" = "$2" ]; then
      return 0
    fi
    dir=${dir%/*}
  done
  return 1
}

# machine_disk SERIAL: prints /dev/NAME of the whole disk given that serial on the host
# (vm_run --disk BUS:FILE:SERIAL), waiting up to 60 s for it and for its partitions.
machine_disk() {
  tries=0
  while [ $tries -lt 600 ]; do
    for block in /sys/block/*; do
      case ${block##*/} in loop*|ram*|sr*) continue ;; esac
      if machine_serial_is "$block" "$1"; then
        # The kernel lists the partitions with the disk; give the nodes a moment.
        sleep 0.2
        echo "/dev/${block##*/}"
        return 0
      fi
    done
    sleep 0.1
    tries=$((tries + 1))
  done
  echo "machine: no disk with serial $1" >&2
  return 1
}

# machine_result KEY VALUE: a result line the host reads with vm_result KEY.
machine_result() {
  echo "@@RESULT $1=$2@@"
}

# machine_wait_partition DISK N: waits up to 10 s until /proc/partitions lists partition N of
# DISK (/dev/sdc 1 waits for sdc1); fails if it does not appear.
machine_wait_partition() {
  name=${1#/dev/}
  case $name in *[0-9]) name=${name}p ;; esac
  tries=0
  while [ $tries -lt 100 ]; do
    grep -q " $name$2\$" /proc/partitions && return 0
    sleep 0.1
    tries=$((tries + 1))
  done
  return 1
}

# machine_signal NAME: asks the host to act now (vm_run --signal NAME:COMMAND sends COMMAND to
# qemu's monitor), e.g. to pull a USB stick while a program writes to it.
machine_signal() {
  echo "@@MACHINE-SIGNAL $1@@"
}
