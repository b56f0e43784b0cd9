#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/<target>/ (run by hand).

Volumes are made by mkfs.fat and filled with mtools; images, headers, BIOS windows and
IMAGE.INI texts are built here. Each target gets a few sound inputs and a few damaged ones.
Seeds found by fuzzing (crash-*, regress-*) are kept; the others are rewritten.

Restore images are captured from such volumes by dorvix -imgcopy, the program named first.

usage: make_corpus.py DORVIX_PROGRAM
"""
import os, shutil, struct, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
PROG = os.path.abspath(sys.argv[1])
env = dict(os.environ, MTOOLS_SKIP_CHECK="1", DORVIX_PAUSE_MS="0", DORVIX_RESET_COMMAND="",
           DORVIX_DEVICES=os.path.join(tempfile.gettempdir(), "dorvix-corpus-devices"))
work = tempfile.mkdtemp(prefix="dorvix-corpus-")


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True, env=env, cwd=work, stdout=subprocess.DEVNULL)


def put(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def clear(target):
    folder = os.path.join(CORPUS, target)
    if os.path.isdir(folder):
        for name in os.listdir(folder):
            if not name.startswith(("crash-", "regress-")):
                os.remove(os.path.join(folder, name))


def trimmed(disk):
    """The disk up to its last sector that holds something."""
    end = len(disk.rstrip(b"\0"))
    return disk[:(end + 511) // 512 * 512]


def make_disk(start, sectors, spc, root_entries, fill):
    """A disk image: MBR with partition 1 at `start`, a FAT16 volume from mkfs.fat filled by `fill`."""
    vol = os.path.join(work, "vol.img")
    if os.path.exists(vol):
        os.remove(vol)
    sh(f"mkfs.fat -F 16 -s {spc} -S 512 -r {root_entries} -f 2 -R 1 -h {start} -n SEED -i 12345678 "
       f"-C {vol} {sectors // 2}")
    for step in fill:
        sh(step.replace("@", vol))
    mbr = bytearray(512)
    mbr[446:462] = struct.pack("<BBBBBBBBII", 0x80, 0, 2 if start == 1 else (start % 63) + 1, 0, 0x06, 0, 0, 0,
                               start, sectors)
    mbr[510:512] = b"\x55\xaa"
    with open(vol, "rb") as f:
        return bytearray(bytes(mbr) + b"\0" * (512 * (start - 1)) + f.read())


def capture(disk):
    """The image dorvix -imgcopy makes of `disk`."""
    write_file("source.img", disk)
    with open(env["DORVIX_DEVICES"], "w") as f:
        f.write(f"DSK1: {work}/source.img\n")
    sh(f"{PROG} -imgcopy -y -norestart {work}/capture.kmv </dev/null")
    with open(os.path.join(work, "capture.kmv"), "rb") as f:
        return bytearray(f.read())


def write_file(name, data):
    with open(os.path.join(work, name), "wb") as f:
        f.write(data)


INI = b"[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ7B2,KQ3A1\r\n"
write_file("ini", INI)
write_file("small", b"hello\r\n" * 40)
write_file("big", bytes(range(256)) * 12)
TREE = [
    "mmd -i @ ::/Dir ::/Dir/Sub '::/Documents and Settings' ::/Other",
    "mcopy -i @ ini ::/IMAGE.INI",
    "mcopy -i @ small '::/Dir/a long file name.txt'",
    "mcopy -i @ big ::/Dir/Sub/BIG.BIN",
    "mcopy -i @ small '::/Documents and Settings/user.dat'",
    "mcopy -i @ small ::/Other/GONE.TXT",
    "mdel -i @ ::/Other/GONE.TXT",
    "mcopy -i @ small ::/Other/KEPT.TXT",
]

# Long names of 196, 200 and 255 characters: sets of 16 to 20 slots, in the root and in a
# folder whose one-sector clusters they straddle.
LONG_NAMES = ["mmd -i @ ::/D"] + [
    f"mcopy -i @ small '::/{where}{n}{'x' * (n - 8)}.name'" for n in (196, 200, 255) for where in ("", "D/")]


def dir_entries(disk, sector, count):
    """(offset, 11-byte name) of the entries in `count` sectors from `sector`."""
    out = []
    for at in range(sector * 512, (sector + count) * 512, 32):
        if disk[at] == 0:
            break
        out.append((at, bytes(disk[at:at + 11])))
    return out


def layout(disk, start):
    boot = disk[start * 512:start * 512 + 512]
    spc = boot[13]
    reserved, = struct.unpack_from("<H", boot, 14)
    fats = boot[16]
    root_entries, = struct.unpack_from("<H", boot, 17)
    spf, = struct.unpack_from("<H", boot, 22)
    fat = start + reserved
    root = fat + fats * spf
    data = root + root_entries * 32 // 512
    return dict(spc=spc, fat=fat, spf=spf, fats=fats, root=root, rootsecs=root_entries * 32 // 512, data=data)


def entry_at(disk, lay, path):
    """Offset of the short entry of `path` (list of 11-byte names) in the tree."""
    sector, count = lay["root"], lay["rootsecs"]
    for part in path:
        found = [at for at, name in dir_entries(disk, sector, count) if name == part]
        at = found[0]
        if part is path[-1]:
            return at
        cluster, = struct.unpack_from("<H", disk, at + 26)
        sector, count = lay["data"] + (cluster - 2) * lay["spc"], lay["spc"]


def set_fat(disk, lay, cluster, value):
    for copy in range(lay["fats"]):
        struct.pack_into("<H", disk, (lay["fat"] + copy * lay["spf"]) * 512 + cluster * 2, value)


def image_header(body_sectors, kind=3, target=b"KQ7B2,KQ3A1,KQ3A0", sector_bytes=512):
    h = bytearray(512)
    struct.pack_into("<H", h, 0, 512)
    h[2:14] = b"!QZ_WRX_STAR"
    struct.pack_into("<HHHI", h, 14, sector_bytes, 63, 16, 1)
    struct.pack_into("<I", h, 32, body_sectors)
    h[40], h[41] = 2, 0x34
    h[170] = 4 if kind == 3 else 0
    h[171:171 + len(target)] = target
    h[510] = kind
    h[511] = (0x100 - sum(h) % 256) % 256
    return h


def smbios_window(version):
    w = bytearray(0x200)
    table = 0x40
    structure = bytes([0, 0x18, 0, 0, 1, 2]) + b"\0" * (0x18 - 6) + b"Maker\0" + version + b"\0\0"
    w[table:table + len(structure)] = structure
    e = bytearray(0x1F)
    e[0:4] = b"_SM_"
    e[5], e[6], e[7] = 0x1F, 2, 4
    e[16:21] = b"_DMI_"
    struct.pack_into("<HIH", e, 22, len(structure), 0xF0000 + table, 1)
    e[21] = (0x100 - sum(e[16:]) % 256) % 256
    e[4] = (0x100 - sum(e) % 256) % 256
    w[0:0x1F] = e
    return bytes(w)


def fat_walk():
    clear("fat_walk")
    disk = make_disk(1, 4400, 1, 64, TREE)
    put("fat_walk", "sound-start1", trimmed(disk))
    lay = layout(disk, 1)
    sub = entry_at(disk, lay, [b"DIR        ", b"SUB        "])
    cluster, = struct.unpack_from("<H", disk, sub + 26)
    loop = bytearray(disk)
    set_fat(loop, lay, cluster, cluster)  # a directory chain that runs in a cycle
    put("fat_walk", "damaged-cycle", trimmed(loop))
    shared = bytearray(disk)
    big = entry_at(shared, lay, [b"DIR        ", b"SUB        ", b"BIG     BIN"])
    kept = entry_at(shared, lay, [b"OTHER      ", b"KEPT    TXT"])
    shared[kept + 26:kept + 28] = shared[big + 26:big + 28]  # two files sharing clusters
    put("fat_walk", "damaged-shared", trimmed(shared))
    outside = bytearray(disk)
    struct.pack_into("<H", outside, sub + 26, 0xFFF0)  # a directory beyond the last cluster
    put("fat_walk", "damaged-outside", trimmed(outside))
    boot = bytearray(disk)
    boot[512 + 13] = 3  # sectors per cluster not a power of two
    put("fat_walk", "damaged-boot", trimmed(boot))
    put("fat_walk", "short", bytes(disk[:1024]))
    disk32 = make_disk(32, 16800, 4, 128, TREE)
    put("fat_walk", "sound-start32", trimmed(disk32))


def restore_plan():
    clear("restore_plan")
    image = capture(make_disk(32, 16800, 4, 128, TREE))
    body = image[512:]
    sectors = len(body) // 512
    prefix64 = struct.pack("<IBBBB", 131072, 15, 62, 0, 0)  # 64 MiB, 16 heads, 63 sectors per track
    put("restore_plan", "sound-header", prefix64 + image)
    put("restore_plan", "sound-noheader", prefix64 + body)
    put("restore_plan", "sound-bigdisk", struct.pack("<IBBBB", 1000000, 254, 62, 1, 0) + image)
    put("restore_plan", "sound-scale2", prefix64 + capture(make_disk(32, 36000, 8, 64, TREE)))
    lay = layout(body, 32)
    sub = entry_at(body, lay, [b"DIR        ", b"SUB        "])
    cluster, = struct.unpack_from("<H", body, sub + 26)
    dot = bytearray(body)
    struct.pack_into("<H", dot, (lay["data"] + (cluster - 2) * 4) * 512 + 26, cluster + 1)  # "." names another
    put("restore_plan", "damaged-dot", prefix64 + image_header(sectors) + dot)
    past = bytearray(body)
    big = entry_at(past, lay, [b"DIR        ", b"SUB        ", b"BIG     BIN"])
    struct.pack_into("<I", past, big + 28, 10000000)  # a size past the image's data
    put("restore_plan", "damaged-size", prefix64 + image_header(sectors) + past)
    put("restore_plan", "damaged-short", prefix64 + image_header(5) + body[:512 * 4])
    put("restore_plan", "flat", prefix64 + image_header(1, kind=2) + bytes(512))


def long_name_seeds():
    """Seeds of the walk and the restore's planning with the longest long names."""
    put("fat_walk", "longnames", trimmed(make_disk(1, 4400, 1, 64, LONG_NAMES)))
    prefix64 = struct.pack("<IBBBB", 131072, 15, 62, 0, 0)
    put("restore_plan", "longnames", prefix64 + capture(make_disk(32, 16800, 4, 128, LONG_NAMES)))


def image_header_seeds():
    clear("image_header")
    window = smbios_window(b"KQ7B2 V3.03")
    put("image_header", "sound-fat", image_header(100) + window)
    put("image_header", "sound-flat", image_header(100, kind=2, sector_bytes=4096) + smbios_window(b"KQ3A1"))
    put("image_header", "sound-emptylist", image_header(100, target=b"") + window)
    put("image_header", "long-list", image_header(100, target=(b"KQ7B2," * 43)[:256]))
    bad = image_header(100)
    bad[300] ^= 1
    put("image_header", "bad-checksum", bad)
    mbr = bytearray(512)
    mbr[446:462] = struct.pack("<BBBBBBBBII", 0x80, 0, 33, 0, 6, 0, 0, 0, 32, 40000)
    mbr[510:512] = b"\x55\xaa"
    put("image_header", "no-header", mbr)
    put("image_header", "short", image_header(1)[:100])


def image_ini():
    clear("image_ini")
    put("image_ini", "sound", INI)
    put("image_ini", "key-first", b"ModDate=12/31/1999 23:59\nkmvbios = kq7b2 , kq3a0\n")
    put("image_ini", "long-list", b"[Image]\r\nKMVBIOS=" + b",".join(b"KQ%03d" % i for i in range(20)) + b"\r\n")
    put("image_ini", "short-date", b"x\r\nModDate=1/2\r\n")
    put("image_ini", "long-date", b"x\nMODDATE=01/02/2006 03:04 and a great deal more text behind it\n" + b"y" * 300)
    put("image_ini", "across-clusters", b";" * 500 + b"\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ9\r\n")
    put("image_ini", "binary", bytes(range(256)) + b"\nKMVBIOS=\n")


fat_walk()
restore_plan()
long_name_seeds()
image_header_seeds()
image_ini()
shutil.rmtree(work)
total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(CORPUS) for f in fs)
print(f"corpus: {total} bytes")
