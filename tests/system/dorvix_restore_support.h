#pragma once
// Disks for the restore and flat-image system tests: FAT16 volumes made by mkfs.fat and filled
// with mtools inside image-file disks, the device table that names them, runs of the built
// dorvix, and the checks of a restored disk by fsck.fat and mtools.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace restoretest {

namespace fs = std::filesystem;
using testsupport::runCommand;
using testsupport::shellQuote;

inline std::string mtoolsEnv() { return "MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 "; }

inline std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Runs a shell command and fails the test when it does not succeed.
inline std::string must(const std::string& command) {
    auto r = runCommand(command);
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
    return r.output;
}

// Makes `disk` from the volume file `vol` (which is removed): an MBR whose active first
// partition of `sectors` sectors starts at sector 32, then the volume. `diskSectors` (0: just
// the partition) sizes the disk.
inline void wrapVolumeAsDisk(const fs::path& vol, const fs::path& disk, std::uint32_t sectors,
                             std::uint32_t diskSectors = 0) {
    std::vector<std::uint8_t> mbr(512, 0);
    mbr[446] = 0x80;
    mbr[447] = 1;
    mbr[448] = 1;
    mbr[450] = 0x06;
    mbr[451] = 3;
    mbr[452] = 0xE0;
    mbr[453] = 0xD0;
    put32(mbr, 454, 32);
    put32(mbr, 458, sectors);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    {
        std::ofstream out(disk, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(mbr.data()), 512);
        std::vector<char> zeros(31 * 512, 0);
        out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
        std::ifstream in(vol, std::ios::binary);
        out << in.rdbuf();
    }
    fs::remove(vol);
    const std::uint64_t want = std::uint64_t{diskSectors ? diskSectors : sectors + 32} * 512;
    if (fs::file_size(disk) < want) fs::resize_file(disk, want);
}

// A FAT16 volume of `sectors` sectors with `spc` sectors per cluster, filled by `fill` (a
// shell snippet using $V for the volume file), placed in a disk whose first partition starts at
// sector 32 (as in a FAT-aware image). `diskSectors` (0: just the partition) sizes the disk.
inline void makeSourceDisk(const fs::path& disk, std::uint32_t sectors, unsigned spc, const std::string& fill,
                           std::uint32_t diskSectors = 0, unsigned rootEntries = 512) {
    const fs::path vol = disk.string() + ".vol";
    fs::remove(vol);
    must("mkfs.fat -F 16 -s " + std::to_string(spc) + " -S 512 -r " + std::to_string(rootEntries) +
         " -h 32 -n SOURCE -i 12345678 -C " + shellQuote(vol.string()) + " " + std::to_string(sectors / 2) +
         " >/dev/null");
    if (!fill.empty()) {
        must(mtoolsEnv() + "V=" + shellQuote(vol.string()) + "; " + fill);
    }
    wrapVolumeAsDisk(vol, disk, sectors, diskSectors);
}

// A blank disk (all zeros) of `sectors` sectors.
inline void makeBlankDisk(const fs::path& disk, std::uint64_t sectors) {
    std::ofstream(disk, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(disk, sectors * 512);
}

// Writes a device table naming DSKn: for each path.
inline fs::path writeDeviceTable(const fs::path& dir, const std::map<int, std::string>& devices) {
    const fs::path table = dir / "devices";
    std::ofstream out(table);
    for (const auto& [n, line] : devices) out << "DSK" << n << ": " << line << "\n";
    return table;
}

// Runs dorvix in the table's directory (an argument beginning with "/" is an option, so image
// paths are given relative to it) with the device table, no pause, a BIOS window file (or
// none) and no input.
inline testsupport::CommandResult runDorvix(const fs::path& table, const std::string& args,
                                            const std::string& windowFile = "/nonexistent") {
    return runCommand("cd " + shellQuote(table.parent_path().string()) + " && DORVIX_DEVICES=" +
                      shellQuote(table.string()) + " DORVIX_PAUSE_MS=0 DORVIX_SMBIOS_WINDOW=" +
                      shellQuote(windowFile) + " " + shellQuote(DORVIX_PROGRAM) + " " + args + " </dev/null");
}

// Reads `count` bytes of a file from `offset`.
inline std::vector<std::uint8_t> readRange(const fs::path& file, std::uint64_t offset, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// The first partition of a disk, copied into its own file for fsck.fat and mtools.
inline fs::path extractPartition(const fs::path& disk, const fs::path& out) {
    auto mbr = readRange(disk, 0, 512);
    const std::uint32_t start = le32(mbr, 454), count = le32(mbr, 458);
    EXPECT_LE((std::uint64_t{start} + count) * 512, fs::file_size(disk));
    testsupport::writeFileBytes(out, readRange(disk, std::uint64_t{start} * 512, std::size_t{count} * 512));
    return out;
}

inline void expectFsckClean(const fs::path& volume) {
    auto r = runCommand("fsck.fat -n " + shellQuote(volume.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

// Copies a volume's whole tree (long names, modification times) out into a host directory.
inline void copyTreeOut(const fs::path& volume, const fs::path& dir) {
    fs::create_directories(dir);
    auto r = runCommand(mtoolsEnv() + "mcopy -s -m -n -Q -i " + shellQuote(volume.string()) + " '::*' " +
                        shellQuote(dir.string()));
    // An empty volume has nothing to copy; mcopy then complains without harm.
    (void)r;
}

struct TreeEntry {
    bool directory = false;
    std::uintmax_t size = 0;
    std::int64_t mtime = 0;
    std::vector<std::uint8_t> bytes;
    bool operator==(const TreeEntry&) const = default;
};

inline std::map<std::string, TreeEntry> readTree(const fs::path& dir) {
    std::map<std::string, TreeEntry> tree;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        TreeEntry t;
        t.directory = e.is_directory();
        if (!t.directory) {
            t.size = e.file_size();
            t.bytes = testsupport::readFileBytes(e.path());
            t.mtime = std::chrono::duration_cast<std::chrono::seconds>(e.last_write_time().time_since_epoch()).count();
        }
        tree[fs::relative(e.path(), dir).string()] = std::move(t);
    }
    return tree;
}

// Expects the two volumes to hold the same tree: names, sizes, modification times and bytes.
inline void expectSameTree(const fs::path& expected, const fs::path& actual, const fs::path& scratch) {
    copyTreeOut(expected, scratch / "expected");
    copyTreeOut(actual, scratch / "actual");
    auto a = readTree(scratch / "expected");
    auto b = readTree(scratch / "actual");
    EXPECT_FALSE(a.empty()) << "the source tree came out empty";
    EXPECT_EQ(a.size(), b.size());
    for (const auto& [name, entry] : a) {
        auto it = b.find(name);
        if (it == b.end()) {
            ADD_FAILURE() << "missing after restore: " << name;
            continue;
        }
        EXPECT_EQ(entry.directory, it->second.directory) << name;
        EXPECT_EQ(entry.size, it->second.size) << name;
        EXPECT_EQ(entry.mtime, it->second.mtime) << name;
        EXPECT_TRUE(entry.bytes == it->second.bytes) << "contents differ: " << name;
    }
    for (const auto& [name, entry] : b) {
        if (!a.count(name)) ADD_FAILURE() << "unexpected after restore: " << name;
    }
}

// A shell snippet that fills $V with a small tree of root files (long names, several sizes).
inline std::string rootFilesFill(const fs::path& scratch) {
    const std::string d = shellQuote(scratch.string());
    return "mkdir -p " + d + " && cd " + d +
           " && head -c 70000 /dev/urandom > 'A long file name.bin' && head -c 1 /dev/urandom > ONE.TXT"
           " && : > EMPTY.TXT && head -c 300000 /dev/urandom > BIG.DAT"
           " && touch -d '2006-03-04 05:06:08' ONE.TXT BIG.DAT"
           " && mcopy -m -i \"$V\" 'A long file name.bin' ONE.TXT EMPTY.TXT BIG.DAT ::";
}

}  // namespace restoretest

namespace restoretest {

// The image header: signature, sizes, the target-BIOS list, the kind and the checksum.
inline std::vector<std::uint8_t> imageHeader(std::uint8_t kind, std::uint32_t bodySectors,
                                             const std::string& bios, std::uint16_t bytesPerSector = 512) {
    std::vector<std::uint8_t> h(512, 0);
    h[0] = 0x00;
    h[1] = 0x02;
    const std::string sig = "!QZ_WRX_STAR";
    std::copy(sig.begin(), sig.end(), h.begin() + 2);
    h[14] = static_cast<std::uint8_t>(bytesPerSector);
    h[15] = static_cast<std::uint8_t>(bytesPerSector >> 8);
    h[16] = 63;
    h[18] = 255;
    put32(h, 32, bodySectors);
    h[40] = 2;
    h[41] = 0x34;
    std::copy(bios.begin(), bios.end(), h.begin() + 171);
    h[510] = kind;
    std::uint8_t sum = 0;
    for (auto b : h) sum = static_cast<std::uint8_t>(sum + b);
    h[511] = static_cast<std::uint8_t>(0x100 - sum);
    return h;
}

// A FAT-aware image made from a source disk whose files lie in contiguous runs in the root
// directory (as mcopy leaves a fresh volume): the disk cut after its last used cluster, with a
// header of kind 3 in front unless `withHeader` is false.
inline void imageFromSourceDisk(const fs::path& disk, const fs::path& image, bool withHeader,
                                const std::string& bios = "KQ7B2,KQ3A1,KQ3A0") {
    auto bytes = testsupport::readFileBytes(disk);
    const std::size_t boot = std::size_t{le32(bytes, 454)} * 512;
    const unsigned spc = bytes[boot + 13];
    const unsigned reserved = bytes[boot + 14] | (bytes[boot + 15] << 8);
    const unsigned fats = bytes[boot + 16];
    const unsigned rootEntries = bytes[boot + 17] | (bytes[boot + 18] << 8);
    const unsigned spf = bytes[boot + 22] | (bytes[boot + 23] << 8);
    const std::size_t data = boot / 512 + reserved + fats * spf + (rootEntries * 32 + 511) / 512;
    std::size_t last = bytes.size() / 512;
    while (last > data && std::all_of(bytes.begin() + (last - 1) * 512, bytes.begin() + last * 512,
                                      [](std::uint8_t b) { return b == 0; })) {
        --last;
    }
    const std::size_t end = data + (last - data + spc - 1) / spc * spc;
    bytes.resize(end * 512);
    if (withHeader) {
        auto header = imageHeader(3, static_cast<std::uint32_t>(end), bios);
        bytes.insert(bytes.begin(), header.begin(), header.end());
    }
    testsupport::writeFileBytes(image, bytes);
}

}  // namespace restoretest
