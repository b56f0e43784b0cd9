# pellorin when the stick fails under it: one stick whose writes over a chosen sector fail
# (blkdebug on the host returns EIO, the guest's SCSI disk sees a write error), and one that
# is pulled (qemu's device_del) while pellorin writes a large payload to it. Both must end with
# string 3 and exit code 3, and never say that the stick was formatted.
source "$MACHINE_SOURCE/machine.sh"
work=$MACHINE_WORK
rm -rf "$work/payload"
make_payload "$work/payload"
rm -f "$work/stick-bad.img" "$work/stick-pull.img"
truncate -s 64M "$work/stick-bad.img"
truncate -s 256M "$work/stick-pull.img"

# Sector 1000 lies in the payload's data: the boot track, FATs and root directory come before.
vm_run faults --file "$work/payload:/payload" \
  --disk "usb-ehci:$work/stick-bad.img:STICKBAD:failwrite=1000" \
  --disk "usb-xhci:$work/stick-pull.img:STICKPULL" \
  --signal "pull:device_del usbSTICKPULL" -- '
string3() {
  tr "\r\n" "  " <$1 | grep -q "An unexpected error occurred while writing to the USB flash device" &&
    machine_result string3-$2 yes
  grep -q "formatted successfully" $1 && machine_result success-said-$2 yes
}
bad=$(machine_disk STICKBAD) || exit 1
echo "== pellorin usb $bad (writes at sector 1000 fail)"
pellorin usb $bad --yes --payload /payload </dev/null >/tmp/bad.out 2>&1
machine_result usb-bad $?
cat /tmp/bad.out
string3 /tmp/bad.out bad

# A payload whose write takes a while: pulled once pellorin has written 4 MiB to the stick.
mkdir -p /big && cp /payload/* /big/ && head -c 48000000 /dev/urandom >/big/FLASH.IMG
pull=$(machine_disk STICKPULL) || exit 1
name=${pull#/dev/}
echo "== pellorin usb $pull (pulled while it writes)"
pellorin usb $pull --yes --payload /big </dev/null >/tmp/pull.out 2>&1 &
writer=$!
written=0
while kill -0 $writer 2>/dev/null; do
  written=$(awk "{ print \$7 }" /sys/block/$name/stat 2>/dev/null || echo 0)
  [ "${written:-0}" -gt 8192 ] && break
  sleep 0.05
done
if kill -0 $writer 2>/dev/null; then
  echo "pulling the stick after $written sectors written"
  machine_signal pull
  machine_result pulled yes
fi
wait $writer
machine_result usb-pull $?
cat /tmp/pull.out
string3 /tmp/pull.out pull
[ -e /sys/block/$name ] || machine_result gone-pull yes
'
expect ran "the case ran to its end" vm_ran_ok
expect usb-write-error "pellorin fails on the stick with a write error (exit code 3)" test "$(vm_result usb-bad)" = 3
expect usb-write-error-string3 "pellorin says string 3 for the write error" test "$(vm_result string3-bad)" = yes
expect usb-write-error-no-success "pellorin does not say the stick with a write error was formatted" \
  test -z "$(vm_result success-said-bad)"
expect usb-pull-timing "the stick was pulled while pellorin still wrote to it" test "$(vm_result pulled)" = yes
expect usb-pull-gone "the pulled stick is gone from the machine" test "$(vm_result gone-pull)" = yes
expect usb-pull "pellorin fails on the stick pulled mid-write (exit code 3)" test "$(vm_result usb-pull)" = 3
expect usb-pull-string3 "pellorin says string 3 for the pulled stick" test "$(vm_result string3-pull)" = yes
expect usb-pull-no-success "pellorin does not say the pulled stick was formatted" \
  test -z "$(vm_result success-said-pull)"
rm -f "$work/stick-bad.img" "$work/stick-pull.img"
