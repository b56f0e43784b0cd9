# Capture and restore of volumes that the kernel's vfat driver wrote. For each seed the host
# makes an empty FAT16 volume with mkfs.fat (a cluster size of its own); in the machine the
# seeded workload (fixtures/fat_workload.sh) fills it through the driver with nested folders,
# long names, deletes, truncations and appends in turn that fragment files, and records every
# file's md5sum. dorvix -imgcopy captures it and restores it onto a disk of another size; the
# machine mounts the restored volume and checks every file against the record. The host then
# runs fsck.fat -n on both volumes and compares their trees, attributes and listings with
# mtools, and checks that the driver really left fragmented chains to capture.
source "$MACHINE_SOURCE/machine.sh"
need_tools fsck.fat mcopy mdir mattrib sfdisk mkfs.fat
work=$MACHINE_WORK

# seed, source MiB, sectors per cluster, target MiB, the driver's short names (shortname=winnt
# keeps a lower-case 8.3 name in the short entry with case flags, and no long name)
seeds=(
  "11 64 4 40 mixed"
  "23 48 8 160 mixed"
  "37 96 16 72 mixed"
  "53 32 2 128 winnt"
)
disks=()
guest_seeds=""
for line in "${seeds[@]}"; do
  read -r seed source_mib cluster target_mib shortname <<<"$line"
  rm -f "$work/source-$seed.img" "$work/target-$seed.img"
  truncate -s "${source_mib}M" "$work/source-$seed.img"
  printf 'label: dos\nstart=2048, type=6\n' | sfdisk -q "$work/source-$seed.img" >/dev/null
  mkfs.fat -F 16 -s "$cluster" -n "SEED$seed" --offset 2048 -h 2048 "$work/source-$seed.img" \
    $(( (source_mib * 2048 - 2048) / 2 )) >/dev/null
  truncate -s "${target_mib}M" "$work/target-$seed.img"
  disks+=(--disk "virtio:$work/source-$seed.img:SRC$seed" --disk "virtio:$work/target-$seed.img:TGT$seed")
  guest_seeds+=" $seed:$shortname"
done

vm_run kernel-volumes --timeout 150 --file "$MACHINE_SOURCE/fixtures/fat_workload.sh:workload.sh" \
  "${disks[@]}" -- "
for pair in$guest_seeds; do
  seed=\${pair%:*} shortname=\${pair#*:}
  echo \"== seed \$seed, shortname=\$shortname\"
  src=\$(machine_disk SRC\$seed) && tgt=\$(machine_disk TGT\$seed) || exit 1
  mkdir -p /mnt/src /mnt/tgt
  mount -t vfat -o utf8,shortname=\$shortname \${src}1 /mnt/src || exit 1
  sh /case/workload.sh \$seed /mnt/src || machine_result workload-\$seed failed
  (cd /mnt/src && find . -type f -exec md5sum {} +) >/tmp/manifest
  (cd /mnt/src && find . | sort) >/tmp/tree
  machine_result files-\$seed \$(wc -l </tmp/manifest)
  umount /mnt/src || exit 1
  printf 'DSK1: %s\nDSK2: %s\n' \$src \$tgt >/tmp/devices
  export DORVIX_DEVICES=/tmp/devices DORVIX_PAUSE_MS=0
  (cd /tmp && dorvix -y -nor -imgcopy -targetdev:1 SEED.IMG </dev/null)
  status=\$?
  echo
  machine_result capture-\$seed \$status
  (cd /tmp && dorvix -y -nor -xb -targetdev:2 SEED.IMG </dev/null)
  status=\$?
  echo
  machine_result restore-\$seed \$status
  rm -f /tmp/SEED.IMG
  mount -t vfat -o ro,utf8,shortname=\$shortname \${tgt}1 /mnt/tgt || continue
  (cd /mnt/tgt && md5sum -c /tmp/manifest >/tmp/check 2>&1) && machine_result md5-\$seed ok
  grep -v ': OK\$' /tmp/check | head -n 5
  (cd /mnt/tgt && find . | sort) | cmp -s - /tmp/tree && machine_result tree-\$seed same
  umount /mnt/tgt
done
"
expect ran "the case ran to its end" vm_ran_ok

# fat_breaks VOLUME: how many FAT16 entries link a cluster to one other than the next.
fat_breaks() {
  local reserved per_fat
  reserved=$(od -A n -t u2 -j 14 -N 2 "$1" | tr -d ' ')
  per_fat=$(od -A n -t u2 -j 22 -N 2 "$1" | tr -d ' ')
  od -A n -v -t u2 -j $((reserved * 512)) -N $((per_fat * 512)) "$1" |
    tr -s ' ' '\n' | awk 'NF { if (n >= 2 && $1 >= 2 && $1 < 65520 && $1 != n + 1) b++; n++ } END { print b + 0 }'
}
# listing VOLUME: every entry with size, date and time, without the volume's own lines and
# without "." and "..", which the capture makes afresh with every field but name, attribute and
# cluster 0.
listing() {
  mdir -/ -a -i "$1" :: | grep -v -e '^ Volume ' -e ' bytes free$' -e '^$' -e '^\.\.\? '
}

for line in "${seeds[@]}"; do
  read -r seed source_mib cluster target_mib shortname <<<"$line"
  what="seed $seed (${source_mib} MiB, $cluster sectors a cluster, shortname=$shortname, onto ${target_mib} MiB)"
  expect "workload-$seed" "$what: the workload ran" test -z "$(vm_result workload-$seed)"
  echo "$what: $(vm_result files-$seed) files"
  mbr_partition_image "$work/source-$seed.img" "$work/source.vol" || fail "seed $seed: no source partition"
  breaks=$(fat_breaks "$work/source.vol")
  echo "$what: $breaks jumps in the source's FAT chains"
  expect "fragmented-$seed" "$what: the driver left fragmented chains" test "$breaks" -gt 0
  expect "source-fsck-$seed" "$what: the driver's volume passes fsck.fat -n" fat_check "$work/source.vol"
  expect "capture-$seed" "$what: dorvix -imgcopy captures it (exit code 0)" test "$(vm_result capture-$seed)" = 0
  expect "restore-$seed" "$what: dorvix restores it (exit code 0)" test "$(vm_result restore-$seed)" = 0
  expect "md5-$seed" "$what: every file of the restored volume has the recorded md5sum" \
    test "$(vm_result md5-$seed)" = ok
  expect "tree-$seed" "$what: the restored volume has the same folders and files" test "$(vm_result tree-$seed)" = same
  if mbr_partition_image "$work/target-$seed.img" "$work/target.vol"; then
    expect "target-fsck-$seed" "$what: the restored volume passes fsck.fat -n" fat_check "$work/target.vol"
    rm -rf "$work/source-files" "$work/target-files"
    mkdir -p "$work/source-files" "$work/target-files"
    mcopy -s -n -m -i "$work/source.vol" '::/*' "$work/source-files/" 2>/dev/null
    mcopy -s -n -m -i "$work/target.vol" '::/*' "$work/target-files/" 2>/dev/null
    expect "source-files-$seed" "$what: mtools reads every recorded file from the source" \
      test "$(find "$work/source-files" -type f | wc -l)" = "$(vm_result files-$seed)"
    expect "target-files-$seed" "$what: mtools reads the same files from both volumes" \
      diff -r "$work/source-files" "$work/target-files"
    expect "target-attributes-$seed" "$what: every entry keeps its attributes" \
      diff <(mattrib -/ -i "$work/source.vol" ::) <(mattrib -/ -i "$work/target.vol" ::)
    expect "target-listing-$seed" "$what: every entry keeps its size, date and time" \
      diff <(listing "$work/source.vol") <(listing "$work/target.vol")
  else
    expect "target-partition-$seed" "$what: the target disk has partition 1" false
  fi
  rm -rf "$work/source.vol" "$work/target.vol" "$work/source-files" "$work/target-files"
  rm -f "$work/source-$seed.img" "$work/target-$seed.img"
done
