#!/usr/bin/env bash
# The Debian packages installed as an administrator would install them: dpkg -i into this
# machine, the programs run from the installed files, and dpkg -r leaves no file behind.
#
# The packages come from $IMAGING_PACKAGES (scripts/test builds them with scripts/package).
# Without them, or without root, the test is skipped (exit 77), unless IMAGING_REQUIRE_TOOLS=1.
# No disk of this machine is touched: dorvix's device table names an image file, and pellorin is
# run on no disk at all. The packaged pellorin has no view options (--sysfs and the others, which
# only a test build takes): each is an unknown option there.
set -uo pipefail

skip() {
  if [ "${IMAGING_REQUIRE_TOOLS:-0}" = 1 ]; then
    echo "FAIL: $*" >&2
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

dir=${IMAGING_PACKAGES:-}
[ -n "$dir" ] || skip "IMAGING_PACKAGES names no folder of packages (bash scripts/package makes them)"
shopt -s nullglob
debs=("$dir"/dorvix_*.deb "$dir"/pellorin_*.deb)
[ ${#debs[@]} -eq 2 ] || skip "no dorvix and pellorin packages in $dir"
[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
for package in dorvix dorvix-window pellorin; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q " installed"; then
    skip "$package is installed on this machine already; this test installs and removes its own"
  fi
done

work=$(mktemp -d)
failed=0
remove() {
  dpkg -r dorvix pellorin >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; failed=1; }
}
trap 'remove; rm -rf "$work"' EXIT

if ! dpkg -i "${debs[@]}" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  fail "dpkg -i"
  exit 1
fi
dpkg -L dorvix pellorin | sort -u >"$work/files"

# expect NAME EXPECTED-TEXT COMMAND...: the command ends with 0 and prints the text.
expect() {
  local name=$1 text=$2
  shift 2
  local output
  if ! output=$("$@" 2>&1 </dev/null); then
    fail "$name: exit code $?: $output"
  elif ! grep -qF -- "$text" <<<"$output"; then
    fail "$name: no \"$text\" in: $output"
  fi
}

expect "dorvix -?" "Usage: dorvix -devdump" /usr/bin/dorvix "-?"
truncate -s 8M "$work/disk.img"
echo "DSK1: $work/disk.img" >"$work/devices"
expect "dorvix -devdump" "\\DSK1: TS:" env DORVIX_DEVICES="$work/devices" /usr/bin/dorvix -devdump
cmp -s "$work/disk.img" <(head -c 8M /dev/zero) || fail "dorvix -devdump changed the disk"

expect "pellorin --help" "Without a command it opens the desktop application." /usr/bin/pellorin --help
mkdir -p "$work/views"
for command in drives "usb $work/disk.img --yes"; do
  for option in --sysfs --mountinfo --swaps --dev-dir; do
    # shellcheck disable=SC2086 # the command's words
    output=$(/usr/bin/pellorin $command "$option" "$work/views" 2>&1 </dev/null)
    status=$?
    if [ "$status" != 64 ] || ! grep -qF -- "$option" <<<"$output"; then
      fail "pellorin $command $option: not refused as an unknown option (exit code $status): $output"
    fi
  done
done
cmp -s "$work/disk.img" <(head -c 8M /dev/zero) || fail "pellorin usb changed the image file"
grep -q -- "--sysfs" /usr/share/bash-completion/completions/pellorin &&
  fail "the bash completion offers --sysfs"

pages=$(man -w dorvix pellorin 2>&1) || fail "man -w: $pages"
grep -q "/usr/share/man/man1/dorvix.1.gz" <<<"$pages" || fail "no manual page dorvix(1): $pages"
grep -q "/usr/share/man/man1/pellorin.1.gz" <<<"$pages" || fail "no manual page pellorin(1): $pages"
warnings=$(MANWIDTH=80 man --warnings -l /usr/share/man/man1/dorvix.1.gz \
  /usr/share/man/man1/pellorin.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"

remove
trap 'rm -rf "$work"' EXIT
for package in dorvix pellorin; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q " installed"; then
    fail "$package is still installed"
  fi
done
while read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then
    fail "left behind: $path"
  fi
done <"$work/files"

[ "$failed" = 0 ] || exit 1
echo "packages installed, run and removed"
