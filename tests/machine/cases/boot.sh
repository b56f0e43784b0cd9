# The machine boots with the given firmware, sees its disks on every bus, and both programs
# run in it under their sanitizers.
source "$MACHINE_SOURCE/machine.sh"
firmware=$1

for bus in virtio ide ahci usb-ehci usb-xhci; do
  truncate -s 8M "$MACHINE_WORK/$bus.img"
done
vm_run boot --firmware "$firmware" \
  --disk "virtio:$MACHINE_WORK/virtio.img:VIRT" --disk "ide:$MACHINE_WORK/ide.img:IDE" \
  --disk "ahci:$MACHINE_WORK/ahci.img:SATA" --disk "usb-ehci:$MACHINE_WORK/usb-ehci.img:EHCI" \
  --disk "usb-xhci:$MACHINE_WORK/usb-xhci.img:XHCI" -- '
for serial in VIRT IDE SATA EHCI XHCI; do
  machine_result "$serial" "$(machine_disk $serial)"
done
dorvix -? >/dev/null 2>&1; machine_result dorvix $?
pellorin drives >/dev/null 2>&1; machine_result pellorin $?
'
expect ran "the case ran to its end" vm_ran_ok
for serial in VIRT IDE SATA EHCI XHCI; do
  expect "disk-$serial" "the disk $serial is seen in the machine" test -n "$(vm_result $serial)"
done
expect dorvix-runs "dorvix runs in the machine" test "$(vm_result dorvix)" = 0
expect pellorin-runs "pellorin runs in the machine" test "$(vm_result pellorin)" = 0
