# pellorin's guard on a system that really runs from USB sticks. The live stick holds the root
# file system of a chroot (pellorin itself on it, the libraries and the payload bound in from
# outside), from which pellorin must mark that stick in drives and refuse it; a second stick
# holds the payload directory, a third an active swap area (named by a device node outside /dev,
# as a swap set up by hand may be): each refused, nothing written. The
# guest compares the sticks' bytes before and after (mounted read-only or holding swap, nothing
# else writes to them); the payload stick is compared on the host.
source "$MACHINE_SOURCE/machine.sh"
need_tools sfdisk mkfs.fat mcopy
work=$MACHINE_WORK
rm -rf "$work/payload" "$work/payload-dir"
make_payload "$work/payload"
mkdir -p "$work/payload-dir"
cp -a "$work/payload" "$work/payload-dir/payload"
fat_disk_image "$work/stick-live.img" 64
fat_disk_image "$work/stick-payload.img" 64 "$work/payload-dir"
fat_disk_image "$work/stick-swap.img" 64
payload_before=$(sha256sum <"$work/stick-payload.img")

vm_run guard --file "$work/payload:/payload" \
  --disk "usb-xhci:$work/stick-live.img:STICKLIVE" \
  --disk "usb-ehci:$work/stick-payload.img:STICKPAYLOAD" \
  --disk "usb-xhci:$work/stick-swap.img:STICKSWAP" -- '
live=$(machine_disk STICKLIVE) || exit 1
pay=$(machine_disk STICKPAYLOAD) || exit 1
swap=$(machine_disk STICKSWAP) || exit 1
digest() { blockdev --flushbufs $1; sha256sum <$1; }
# The live system: the stick as the root of a chroot that runs the pellorin on it.
mkdir -p /live && mount -t vfat ${live}1 /live || exit 1
mkdir -p /live/usr/bin /live/lib /live/lib64 /live/proc /live/sys /live/dev /live/tmp /live/payload || exit 1
cp /usr/bin/pellorin /live/usr/bin/pellorin || exit 1
mount -o remount,ro /live || exit 1
for dir in lib lib64 proc sys dev tmp payload; do mount -o bind /$dir /live/$dir || exit 1; done
mkdir -p /paystick && mount -t vfat -o ro ${pay}1 /paystick || exit 1
number=$(cat /sys/class/block/${swap#/dev/}1/dev) || exit 1
swapnode=/tmp/swapnode
mknod $swapnode b ${number%:*} ${number#*:} || exit 1
mkswap ${swap}1 >/dev/null && swapon $swapnode || exit 1
grep -q "^$swapnode " /proc/swaps && machine_result swap-active yes
sync
live_before=$(digest $live)
swap_before=$(digest $swap)

echo "== chroot /live: pellorin drives"
chroot /live /usr/bin/pellorin drives >/tmp/drives-live 2>&1
machine_result drives-live-status $?
cat /tmp/drives-live
machine_result drives-live "$(grep "^$live[: ]" /tmp/drives-live | head -n 1)"
echo "== chroot /live: pellorin usb $live"
chroot /live /usr/bin/pellorin usb $live --yes --payload /payload </dev/null 2>&1
machine_result usb-live $?
[ "$(digest $live)" = "$live_before" ] && machine_result untouched-live yes
grep -q " /live vfat " /proc/mounts && machine_result mounted-live yes

echo "== pellorin drives"
pellorin drives >/tmp/drives 2>&1
cat /tmp/drives
machine_result drives-swap "$(grep "^$swap[: ]" /tmp/drives | head -n 1)"
echo "== pellorin usb $pay (holds the payload)"
pellorin usb $pay --yes --payload /paystick/payload </dev/null 2>&1
machine_result usb-payload $?
grep -q " /paystick vfat " /proc/mounts && machine_result mounted-payload yes
echo "== pellorin usb $swap (active swap)"
pellorin usb $swap --yes --payload /payload </dev/null 2>&1
machine_result usb-swap $?
grep -q "^$swapnode " /proc/swaps && machine_result swap-still yes
[ "$(digest $swap)" = "$swap_before" ] && machine_result untouched-swap yes
swapoff $swapnode
umount /paystick
'
expect ran "the case ran to its end" vm_ran_ok
expect drives-live-status "pellorin drives succeeds from the live stick" test "$(vm_result drives-live-status)" = 0
line=$(vm_result drives-live)
echo "live stick: $line"
expect drives-live "pellorin drives marks the live stick (/ and the program on it) as not formattable" \
  grep -qE " usb +no: .+" <<<"$line"
expect usb-live "pellorin usb refuses the live stick (exit code 3)" test "$(vm_result usb-live)" = 3
expect usb-live-untouched "the refused live stick is byte for byte as it was" test "$(vm_result untouched-live)" = yes
expect usb-live-mounted "the live stick's root stays mounted" test "$(vm_result mounted-live)" = yes
expect usb-payload "pellorin usb refuses the stick holding the payload (exit code 3)" test "$(vm_result usb-payload)" = 3
expect usb-payload-mounted "the payload stick stays mounted" test "$(vm_result mounted-payload)" = yes
expect usb-payload-untouched "the refused payload stick is byte for byte as it was" \
  test "$(sha256sum <"$work/stick-payload.img")" = "$payload_before"
expect swap-active "the swap stick's partition is active swap in the machine, named by a node outside /dev" \
  test "$(vm_result swap-active)" = yes
line=$(vm_result drives-swap)
echo "swap stick: $line"
expect drives-swap "pellorin drives traces the swap node to its stick, which holds the running system" \
  grep -qE " usb +no: holds the running system" <<<"$line"
expect usb-swap "pellorin usb refuses the stick with active swap (exit code 3)" test "$(vm_result usb-swap)" = 3
expect usb-swap-active "the swap area stays active" test "$(vm_result swap-still)" = yes
expect usb-swap-untouched "the refused swap stick is byte for byte as it was" test "$(vm_result untouched-swap)" = yes
rm -f "$work/stick-live.img" "$work/stick-payload.img" "$work/stick-swap.img"
