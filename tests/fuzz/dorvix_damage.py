#!/usr/bin/env python3
"""Damaged-input runs of dorvix, by hand (not part of CI).

Builds FAT16 source disks with mkfs.fat and mtools, captures them with `dorvix -imgcopy`,
damages the images (random byte flips, targeted damage to header, MBR, boot sector, FAT,
root and subdirectory entries, truncation) and restores each onto image-file disks. Also
captures damaged source volumes and flat-writes images with damaged headers. A run is a
finding when dorvix reports a sanitizer error, times out, changes bytes of the target outside
[partition start, partition end) other than sector 0, changes the disk although it refused
the image, changes the source of a refused capture (other than its second FAT), or succeeds
with a volume that `fsck.fat -n` rejects.

usage: dorvix_damage.py DORVIX_PROGRAM [iterations] [seed]
"""
import os, random, shutil, struct, subprocess, sys, tempfile

PROG = os.path.abspath(sys.argv[1])
ITER = int(sys.argv[2]) if len(sys.argv) > 2 else 100
SEED = int(sys.argv[3]) if len(sys.argv) > 3 else 1
rng = random.Random(SEED)
work = tempfile.mkdtemp(prefix="dorvix-damage-")
env = dict(os.environ, MTOOLS_SKIP_CHECK="1", DORVIX_PAUSE_MS="0", DORVIX_SMBIOS_WINDOW="/nonexistent",
           DORVIX_RESET_COMMAND="", ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
           UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
findings = []


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True, env=env, cwd=work, stdout=subprocess.DEVNULL)


def make_source(path, sectors, spc):
    vol = path + ".vol"
    if os.path.exists(vol):
        os.remove(vol)
    sh(f"mkfs.fat -F 16 -s {spc} -S 512 -h 32 -n SOURCE -i 12345678 -C {vol} {sectors // 2} >/dev/null")
    fill = [f"mmd -i {vol} ::/Dir ::/Dir/Sub ::/Dir/Sub/Deep '::/Documents and Settings' ::/Other"]
    for i in range(30):
        fill.append(f"head -c {rng.randrange(0, 40000)} /dev/urandom > {work}/f && "
                    f"mcopy -i {vol} {work}/f '::/Dir/Sub/a long file name number {i}.bin'")
    for i in range(12):
        fill.append(f"head -c {rng.randrange(1, 9000)} /dev/urandom > {work}/f && mcopy -i {vol} {work}/f ::/Other/F{i}.BIN")
    for i in range(0, 12, 3):
        fill.append(f"mdel -i {vol} ::/Other/F{i}.BIN")
    fill.append(f"head -c 70000 /dev/urandom > {work}/f && mcopy -i {vol} {work}/f ::/Dir/Sub/Deep/BIG.BIN")
    fill.append(f"printf '[Image]\\r\\nModDate=01/02/2006 03:04\\r\\n' > {work}/f && mcopy -i {vol} {work}/f ::/IMAGE.INI")
    fill.append(f": > {work}/f && mcopy -i {vol} {work}/f ::/EMPTY.TXT")
    for c in fill:
        sh(c)
    mbr = bytearray(512)
    mbr[446:454] = bytes([0x80, 1, 1, 0, 0x06, 3, 0xE0, 0xD0])
    struct.pack_into("<II", mbr, 454, 32, sectors)
    mbr[510:512] = b"\x55\xaa"
    with open(path, "wb") as out, open(vol, "rb") as inp:
        out.write(mbr + bytes(31 * 512) + inp.read())
    os.remove(vol)


def run(args, table, timeout=60):
    cmd = f"DORVIX_DEVICES={table} {PROG} {args} </dev/null"
    try:
        r = subprocess.run(cmd, shell=True, env=env, cwd=work, capture_output=True, timeout=timeout)
        return r.returncode, (r.stdout + r.stderr).decode("latin-1")
    except subprocess.TimeoutExpired:
        return "timeout", ""


def table_for(disk):
    t = os.path.join(work, "devices")
    with open(t, "w") as f:
        f.write(f"DSK1: {disk}\n")
    return t


def reseal(h):
    h[511] = 0
    h[511] = (-sum(h[:512])) & 0xFF


def sanitizer(out):
    return "Sanitizer" in out or "runtime error" in out


def note(kind, detail, image=None):
    keep = None
    if image:
        keep = os.path.join(work, f"finding{len(findings)}.img")
        shutil.copy(image, keep)
    findings.append((kind, detail, keep))
    print("FINDING", kind, detail, keep, flush=True)


def mutate_image(good, path):
    data = bytearray(good)
    mbr = data[512:1024]
    boot = 512 + 32 * 512
    bps, spc, res, nf, rootents, _, _, fatsz = struct.unpack_from("<HBHBHHBH", data, boot + 11)
    fat = boot + res * 512
    root = fat + nf * fatsz * 512
    dat = root + rootents * 32
    kind = rng.choice(["flip", "flip", "header", "mbr", "boot", "fat", "root", "subdir", "trunc", "trunc_sealed"])
    desc = kind
    if kind == "flip":
        for _ in range(rng.randint(1, 20)):
            at = rng.randrange(512, len(data))
            data[at] ^= 1 << rng.randrange(8)
    elif kind == "header":
        at = rng.choice([14, 15, 16, 18, 20, 32, 33, 34, 35, 170, 171, 510])
        data[at] = rng.randrange(256)
        h = data[:512]; reseal(h); data[:512] = h
        desc += f"@{at}"
    elif kind == "mbr":
        at = 512 + rng.choice([446, 450, 454, 455, 456, 458, 459, 460, 461, 510])
        data[at] = rng.randrange(256)
        desc += f"@{at - 512}"
    elif kind == "boot":
        at = boot + rng.choice([11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 22, 23, 28, 29, 32, 33, 34, 35, 510])
        data[at] = rng.choice([0, 1, 2, 0x40, 0x80, 0xFF, rng.randrange(256)])
        desc += f"@{at - boot}"
    elif kind == "fat":
        for _ in range(rng.randint(1, 8)):
            e = rng.randrange(0, min(fatsz * 256, (len(data) - dat) // (512 * spc) + 40))
            struct.pack_into("<H", data, fat + 2 * e, rng.choice([0, 1, 2, e, e + 1, 0xFFF7, 0xFFFF, rng.randrange(65536)]))
        desc += " entries"
    elif kind in ("root", "subdir"):
        if kind == "root":
            base, count = root, rootents
        else:
            base, count = dat, max(1, min(64, (len(data) - dat) // 32))
        used = [i for i in range(count) if data[base + 32 * i] not in (0, 0xE5) and data[base + 32 * i + 11] != 0x0F]
        if not used:
            used = [0]
        e = base + 32 * rng.choice(used)
        field = rng.choice(["cluster", "size", "attr", "name"])
        if field == "cluster":
            struct.pack_into("<H", data, e + 26, rng.choice([0, 1, 2, 3, 0xFFF7, 0xFFFF, rng.randrange(65536)]))
        elif field == "size":
            struct.pack_into("<I", data, e + 28, rng.choice([0, 1, 0x7FFFFFFF, 0xFFFFFFFF, rng.randrange(1 << 32), rng.randrange(1 << 22)]))
        elif field == "attr":
            data[e + 11] = rng.choice([0x10, 0x08, 0x0F, 0x3F, 0x00, rng.randrange(256)])
        else:
            data[e] = rng.choice([0x2E, 0x00, 0xE5, 0x05, 0x20])
        desc += f" {field}"
    elif kind == "trunc":
        del data[rng.randrange(513, len(data)):]
    else:
        n = rng.randrange(1, (len(data) - 512) // 512)
        del data[512 + n * 512:]
        struct.pack_into("<I", data, 32, n)
        h = data[:512]; reseal(h); data[:512] = h
        desc += f" to {n}"
    with open(path, "wb") as f:
        f.write(data)
    return desc


def partition_bounds(disk):
    with open(disk, "rb") as f:
        mbr = f.read(512)
    start, count = struct.unpack_from("<II", mbr, 454)
    return start, start + count


def compare_outside(before, after, lo, hi):
    """Byte offsets of sectors that changed outside sector 0 and [lo, hi)."""
    changed = []
    with open(before, "rb") as a, open(after, "rb") as b:
        s = 0
        while True:
            x = a.read(1 << 20); y = b.read(1 << 20)
            if not x and not y:
                break
            if x != y:
                for i in range(0, max(len(x), len(y)), 512):
                    if x[i:i + 512] != y[i:i + 512]:
                        sec = s + i // 512
                        if sec != 0 and not (lo <= sec < hi):
                            changed.append(sec)
            s += len(x) // 512
    return changed


def same(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def fsck_partition(disk, lo, hi):
    part = os.path.join(work, "part.vol")
    with open(disk, "rb") as f, open(part, "wb") as o:
        f.seek(lo * 512); o.write(f.read((hi - lo) * 512))
    r = subprocess.run(["fsck.fat", "-n", part], capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode("latin-1")[-400:]


def main():
    print("work dir", work, flush=True)
    sources = []
    for name, sectors, spc in [("srcA", 40960, 2), ("srcB", 65536, 4)]:
        p = os.path.join(work, name + ".disk")
        make_source(p, sectors, spc)
        sources.append(p)
    images = []
    for p in sources:
        img = p + ".kmv"
        code, out = run(f"-imgcopy -y -nor {os.path.basename(img)}", table_for(p))
        assert code == 0, out
        images.append(open(img, "rb").read())
    targets = []
    for name, mib in [("tgtS", 24), ("tgtL", 72)]:
        t = os.path.join(work, name + ".ref")
        with open(t, "wb") as f:
            f.write(rng.randbytes(mib << 20))
        targets.append(t)
    # Bounds from a good restore of each image onto each target.
    bounds = {}
    for ii, img in enumerate(images):
        with open(os.path.join(work, "FLASH.IMG"), "wb") as f:
            f.write(img)
        for ti, t in enumerate(targets):
            d = os.path.join(work, "tgt.disk"); shutil.copy(t, d)
            code, out = run("-y -nor -xb FLASH.IMG", table_for(d))
            assert code == 0, out
            bounds[ii, ti] = partition_bounds(d)
            rc, _ = fsck_partition(d, *bounds[ii, ti])
            assert rc == 0
    print("good restores", bounds, flush=True)

    counts = {}
    for it in range(ITER):
        ii = rng.randrange(len(images)); ti = rng.randrange(len(targets))
        img = os.path.join(work, "FLASH.IMG")
        desc = mutate_image(images[ii], img)
        d = os.path.join(work, "tgt.disk"); shutil.copy(targets[ti], d)
        code, out = run("-y -nor -xb FLASH.IMG", table_for(d))
        key = desc.split()[0].split("@")[0]
        counts[key, code] = counts.get((key, code), 0) + 1
        tag = f"restore it={it} img={ii} tgt={ti} {desc} exit={code}"
        if code == "timeout":
            note("timeout", tag, img); continue
        if sanitizer(out):
            note("sanitizer", tag + "\n" + out[-3000:], img); continue
        lo, hi = bounds[ii, ti]
        outside = compare_outside(targets[ti], d, lo, hi)
        if outside:
            note("outside", tag + f" sectors {outside[:8]}", img)
        if code == 0:
            newb = partition_bounds(d)
            rc, msg = fsck_partition(d, *newb)
            if rc != 0:
                note("fsck", tag + " " + msg, img)
        elif same(targets[ti], d) is False and "updating FATs" not in out:
            note("touched-on-refusal", tag + " " + out.strip()[-200:], img)
    print("restore outcomes", sorted(counts.items(), key=str), flush=True)

    # Flat write with damaged headers: a flat image of a disk, header fields damaged.
    flat = os.path.join(work, "flat.kmv")
    fsrc = os.path.join(work, "flatsrc.disk"); shutil.copy(sources[0], fsrc)
    code, out = run("-flatcopy -y -nor flat.kmv", table_for(fsrc))
    assert code == 0, out
    goodflat = open(flat, "rb").read()
    fcounts = {}
    for it in range(max(10, ITER // 4)):
        data = bytearray(goodflat)
        for _ in range(rng.randint(1, 3)):
            at = rng.choice([0, 1, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 32, 33, 34, 35, 510])
            data[at] = rng.randrange(256)
        h = data[:512]; reseal(h); data[:512] = h
        if rng.random() < 0.3:
            del data[rng.randrange(513, len(data)):]
        with open(flat, "wb") as f:
            f.write(data)
        ti = rng.randrange(len(targets))
        d = os.path.join(work, "tgt.disk"); shutil.copy(targets[ti], d)
        code, out = run("-writeflat -y -nor -xb flat.kmv", table_for(d))
        fcounts[code] = fcounts.get(code, 0) + 1
        tag = f"writeflat it={it} tgt={ti} exit={code}"
        if code == "timeout" or sanitizer(out):
            note("flat", tag + out[-2000:], flat)
        elif code != 0 and not same(targets[ti], d):
            note("flat-touched-on-refusal", tag + out.strip()[-200:], flat)
    print("writeflat outcomes", fcounts, flush=True)

    # Capture of damaged source volumes.
    ccounts = {}
    for it in range(max(10, ITER // 3)):
        si = rng.randrange(len(sources))
        src = bytearray(open(sources[si], "rb").read())
        boot = 32 * 512
        bps, spc, res, nf, rootents, _, _, fatsz = struct.unpack_from("<HBHBHHBH", src, boot + 11)
        fat = boot + res * 512
        root = fat + nf * fatsz * 512
        dat = root + rootents * 32
        kind = rng.choice(["boot", "fat", "root", "subdir", "flip"])
        if kind == "boot":
            src[boot + rng.choice([11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35])] = rng.randrange(256)
        elif kind == "fat":
            for _ in range(rng.randint(1, 6)):
                e = rng.randrange(2, 600)
                struct.pack_into("<H", src, fat + 2 * e, rng.choice([0, 1, e, 2, 0xFFF7, rng.randrange(65536)]))
        elif kind in ("root", "subdir"):
            base = root if kind == "root" else dat
            e = base + 32 * rng.randrange(0, 16)
            at = rng.choice([0, 11, 26, 27, 28, 31])
            src[at + e] = rng.randrange(256)
        else:
            for _ in range(rng.randint(1, 30)):
                src[rng.randrange(boot, dat + 200 * 512)] ^= 1 << rng.randrange(8)
        d = os.path.join(work, "capsrc.disk")
        with open(d, "wb") as f:
            f.write(src)
        ref = d + ".before"; shutil.copy(d, ref)
        out_img = os.path.join(work, "cap.kmv")
        if os.path.exists(out_img):
            os.remove(out_img)
        code, out = run("-imgcopy -y -nor cap.kmv", table_for(d))
        ccounts[kind, code] = ccounts.get((kind, code), 0) + 1
        tag = f"capture it={it} src={si} {kind} exit={code}"
        if code == "timeout" or sanitizer(out):
            note("capture", tag + out[-2000:], ref); continue
        # Apart from the second FAT (made equal to the first), the source stays as it was,
        # whether the capture succeeded or not.
        fat2 = (fat + fatsz * 512) // 512
        ch = compare_outside(ref, d, fat2, fat2 + fatsz) if nf == 2 else compare_outside(ref, d, 0, 0)
        if ch:
            note("capture-changed-source", tag + f" sectors {ch[:8]} " + out.strip()[-200:], ref)
        if code != 0:
            if os.path.exists(out_img):
                note("capture-left-image", tag, ref)
        else:
            # A captured image must restore to a clean volume.
            shutil.copy(out_img, os.path.join(work, "FLASH.IMG"))
            t = os.path.join(work, "tgt.disk"); shutil.copy(targets[1], t)
            c2, o2 = run("-y -nor -xb FLASH.IMG", table_for(t))
            if c2 == "timeout" or sanitizer(o2):
                note("capture-then-restore", tag + o2[-2000:], ref)
            elif c2 == 0:
                rc, msg = fsck_partition(t, *partition_bounds(t))
                if rc != 0:
                    note("capture-restore-fsck", tag + " " + msg, ref)
    print("capture outcomes", sorted(ccounts.items(), key=str), flush=True)
    print(f"{len(findings)} findings; files in {work}")


main()
