#!/usr/bin/env bash
# Builds the small Linux system the machine tests boot: Debian's kernel from /boot, and an
# initramfs holding busybox, the kernel modules the cases need, the built dorvix and pellorin
# with their shared libraries, and an init that runs one case script and powers off.
#
#   build-system.sh OUTDIR PROGRAM...
#
# Writes OUTDIR/vmlinuz and OUTDIR/base.cpio.gz. A stamp keyed on the programs, the kernel and
# these scripts makes a second run with nothing changed return at once.
# Exit 77: a tool or the kernel is missing (a failure instead under IMAGING_REQUIRE_TOOLS).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
shift
programs=("$@")

missing() {
  echo "machine tests: $1" >&2
  if [ -n "${IMAGING_REQUIRE_TOOLS:-}" ] && [ "${IMAGING_REQUIRE_TOOLS}" != 0 ]; then
    exit 1
  fi
  exit 77
}

for tool in busybox cpio gzip modprobe ldd qemu-system-x86_64; do
  command -v "$tool" >/dev/null || missing "$tool is not installed (scripts/setup installs it)"
done
[ -x /bin/busybox ] && file_busybox=/bin/busybox || file_busybox=$(command -v busybox)
# The dynamic busybox of the busybox package cannot run inside the initramfs without its
# libraries; busybox-static's can.
if ldd "$file_busybox" >/dev/null 2>&1; then
  missing "$file_busybox is not a static busybox (install busybox-static)"
fi

# The newest Debian kernel that has its modules installed.
kernel=""
for candidate in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  version=${candidate#/boot/vmlinuz-}
  if [ -d "/lib/modules/$version/kernel" ] && [ -r "$candidate" ]; then
    kernel=$candidate
    break
  fi
done
[ -n "$kernel" ] || missing "no kernel in /boot with modules in /lib/modules (install linux-image-amd64)"
kver=${kernel#/boot/vmlinuz-}

for program in "${programs[@]}"; do
  [ -x "$program" ] || { echo "machine tests: $program was not built" >&2; exit 1; }
done

mkdir -p "$out"
stamp_text=$( {
  echo "$kver"
  sha256sum "$kernel" "$file_busybox" "${programs[@]}" "$here/build-system.sh" "$here/init" "$here/guest-lib.sh"
} )
if [ -f "$out/stamp" ] && [ -f "$out/base.cpio.gz" ] && [ -f "$out/accel" ] &&
   [ "$(cat "$out/stamp")" = "$stamp_text" ]; then
  echo "machine system up to date ($kver, $(cat "$out/accel"))"
  exit 0
fi
rm -f "$out/stamp"

root=$(mktemp -d "$out/root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,mnt,run,etc,machine,case,usr/bin,usr/sbin}
cp "$file_busybox" "$root/bin/busybox"
cp "$here/init" "$root/init"
cp "$here/guest-lib.sh" "$root/machine/lib.sh"
chmod 755 "$root/init"

# Modules, in an order in which each one's dependencies come first.
modules=(virtio_pci virtio_blk virtio_scsi ata_piix ahci sd_mod sr_mod usb_storage uas
         ehci_pci xhci_pci uhci_hcd vfat nls_cp437 nls_ascii nls_iso8859_1 nls_utf8 loop)
: >"$root/machine/modules"
for module in "${modules[@]}"; do
  modprobe -S "$kver" --show-depends "$module" 2>/dev/null | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  mkdir -p "$root$(dirname "$ko")"
  cp "$ko" "$root$ko"
  echo "$ko" >>"$root/machine/modules"
done
[ -s "$root/machine/modules" ] || missing "modprobe found no modules for $kver"

# The programs (without their debug sections: the initramfs stays small) and every shared
# library they load, under the paths the loader looks at.
for program in "${programs[@]}"; do
  name=$(basename "$program")
  objcopy --strip-debug "$program" "$root/usr/bin/$name" 2>/dev/null || cp "$program" "$root/usr/bin/$name"
  chmod 755 "$root/usr/bin/$name"
  ldd "$program" | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }'
done | sort -u | while read -r library; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 >"$out/base.cpio.gz.tmp"
cp "$kernel" "$out/vmlinuz.tmp"
mv "$out/vmlinuz.tmp" "$out/vmlinuz"
mv "$out/base.cpio.gz.tmp" "$out/base.cpio.gz"
echo "machine system built: kernel $kver, initramfs $(du -h "$out/base.cpio.gz" | cut -f1)"

# KVM where it works: /dev/kvm may open and still not run this kernel (some nested setups stop
# it before its first line), so a first boot with KVM decides, and TCG is the fallback. The
# cases read the choice from OUTDIR/accel.
boot_probe() {
  local accel=$1 limit=$2 probe="$out/probe"
  rm -rf "$probe"
  mkdir -p "$probe/root/case"
  echo 'echo probe' >"$probe/root/case/case.sh"
  cp "$out/base.cpio.gz" "$probe/initrd"
  (cd "$probe/root" && find . -mindepth 1 | cpio -o -H newc --quiet -R 0:0) | gzip -1 >>"$probe/initrd"
  timeout --kill-after=5 "$limit" qemu-system-x86_64 -machine pc -accel "$accel" -m 512 \
    -nographic -no-reboot -nodefaults -serial "file:$probe/log" -monitor none \
    -kernel "$out/vmlinuz" -initrd "$probe/initrd" -append "console=ttyS0 quiet panic=-1" \
    </dev/null >/dev/null 2>&1 || true
  local status=1
  tr -d '\r' <"$probe/log" 2>/dev/null | grep -q '@@MACHINE-STATUS 0@@' && status=0
  [ $status = 0 ] || { echo "boot with $accel failed; its console:"; tail -n 20 "$probe/log" 2>/dev/null; }
  rm -rf "$probe"
  return $status
}
accel=tcg
if [ -c /dev/kvm ] && { exec 9<>/dev/kvm; } 2>/dev/null; then
  exec 9>&-
  if boot_probe kvm 30; then
    accel=kvm
  fi
fi
if [ $accel = tcg ] && ! boot_probe tcg 180; then
  echo "machine tests: the system does not boot in qemu" >&2
  exit 1
fi
echo $accel >"$out/accel"
echo "$stamp_text" >"$out/stamp"
echo "machine system boots with $accel"
