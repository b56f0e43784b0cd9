// The CD's emulated hard disk read the way a DOS without extended disk services reads it: SeaBIOS
// boots the ISO into a probe kernel that takes the drive's geometry from INT 13h function 08h and
// reads the last sector of FLASH.IMG by cylinder, head and sector within that geometry. SeaBIOS
// reports one cylinder fewer than the emulated disk has, so the payloads here are sized to end in
// the disk's last MiB of data; each is booted on the three PC machine types.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

constexpr std::uint64_t MiB = 1048576;
constexpr std::uint64_t kDiskOffset = 47104;
constexpr std::uint32_t kSectorsPerCylinder = 2048;

const fs::path kProbe = fs::path(BINARY_DIR) / "resources/pellorin/chsprobe.bin";

std::string pellorin(const std::string& args) { return shellQuote(PELLORIN_PROGRAM) + " " + args; }

// Bytes of a file at an offset, without reading the whole (possibly 1 GiB) file.
std::vector<std::uint8_t> bytesAt(const fs::path& file, std::uint64_t offset, std::size_t count) {
    std::vector<std::uint8_t> bytes(count, 0);
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    return in.gcount() == static_cast<std::streamsize>(count) ? bytes : std::vector<std::uint8_t>{};
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A payload whose FLASH.IMG is sparse and ends in the 8 bytes "FLASHEND" that the probe checks.
void writePayload(const fs::path& dir, std::uint64_t flashSize) {
    fs::create_directories(dir);
    fs::copy_file(kProbe, dir / "KERNEL.SYS");
    writeFileText(dir / "AUTOEXEC.BAT", "@ECHO OFF\r\nKMV.EXE\r\n");
    writeFileBytes(dir / "COMMAND.COM", patternBytes(1234, 2));
    writeFileBytes(dir / "KMV.EXE", patternBytes(70001, 3));
    const fs::path flash = dir / "FLASH.IMG";
    writeFileText(flash, "");
    fs::resize_file(flash, flashSize - 8);
    std::ofstream(flash, std::ios::binary | std::ios::app) << "FLASHEND";
}

// The fields of the probe's line, "CHSPROBE name=value ...", by name.
std::string field(const std::string& console, const std::string& name) {
    const std::size_t line = console.find("CHSPROBE ");
    if (line == std::string::npos) return "";
    std::istringstream in(console.substr(line, console.find('\n', line) - line));
    for (std::string word; in >> word;) {
        if (word.rfind(name + "=", 0) == 0) return word.substr(name.size() + 1);
    }
    return "";
}

unsigned long hexField(const std::string& console, const std::string& name) {
    const std::string text = field(console, name);
    return text.empty() ? 0 : std::stoul(text, nullptr, 16);
}

std::string bootCd(const fs::path& iso, const std::string& machine, const fs::path& work) {
    const fs::path log = work / ("debugcon." + machine + ".log");
    runCommand("timeout 60 qemu-system-i386 -M " + machine +
               " -accel tcg -m 16 -display none -no-reboot -boot d -cdrom " + shellQuote(iso.string()) +
               " -debugcon file:" + shellQuote(log.string()) + " -device isa-debug-exit,iobase=0xf4,iosize=0x04");
    if (!fs::exists(log)) return "";
    const auto bytes = readFileBytes(log);
    return std::string(bytes.begin(), bytes.end());
}

TEST(PellorinIsoChs, TheEndOfFlashImgLiesWithinTheGeometryTheBiosReports) {
    for (const char* tool : {"qemu-system-i386", "xorriso", "isoinfo", "fsck.fat"}) {
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    ASSERT_TRUE(fs::exists(kProbe)) << kProbe;
    TempDir tmp;
    const struct {
        const char* name;
        std::uint64_t flashSize;
        std::uint32_t cylinders;  // of the emulated disk, the spare one included
    } cases[] = {
        {"100 MiB", 100 * MiB, 102},
        {"200 MiB", 200 * MiB, 202},
        // The largest payload a CD takes: its data ends in cylinder 1022, the last one the BIOS
        // reports of 1024.
        {"1 GiB less 1.5 MiB", 1022 * MiB + MiB / 2, 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path work = tmp / c.name;
        const fs::path payload = work / "payload";
        writePayload(payload, c.flashSize);
        const fs::path iso = work / "recovery.iso";
        const auto run = runCommand(pellorin("iso " + shellQuote(iso.string()) + " --payload " +
                                             shellQuote(payload.string()) + " </dev/null"));
        ASSERT_EQ(run.exitCode, 0) << run.output;

        // The partition covers the whole disk: the BIOS takes the disk's cylinders from its end.
        const auto mbr = bytesAt(iso, kDiskOffset, 512);
        ASSERT_EQ(mbr.size(), 512u);
        const std::uint32_t first = le32(mbr, 0x1BE + 8);
        const std::uint32_t count = le32(mbr, 0x1BE + 12);
        EXPECT_EQ(first + count, c.cylinders * kSectorsPerCylinder);
        EXPECT_EQ(mbr[0x1BE + 7] | ((mbr[0x1BE + 6] & 0xC0) << 2), c.cylinders - 1) << "end cylinder";

        // Still a CD and a FAT16 volume to the tools.
        const auto torito = runCommand("xorriso -indev " + shellQuote(iso.string()) + " -report_el_torito plain");
        EXPECT_EQ(torito.exitCode, 0) << torito.output;
        const std::uint64_t blocks = fs::file_size(iso) / 2048;
        const auto info = runCommand("isoinfo -d -i " + shellQuote(iso.string()));
        EXPECT_NE(info.output.find("Volume size is: " + std::to_string(blocks) + "\n"), std::string::npos)
            << info.output;
        const fs::path partition = work / "partition.img";
        runCommand("dd status=none conv=sparse bs=512 skip=" + std::to_string(kDiskOffset / 512 + first) +
                   " if=" + shellQuote(iso.string()) + " of=" + shellQuote(partition.string()));
        fs::resize_file(partition, std::uint64_t{count} * 512);
        const auto fsck = runCommand("fsck.fat -n " + shellQuote(partition.string()));
        EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
        fs::remove(partition);

        for (const char* machine : {"pc", "isapc", "q35"}) {
            SCOPED_TRACE(machine);
            const std::string console = bootCd(iso, machine, work);
            EXPECT_EQ(field(console, "read"), "ok") << console;
            // SeaBIOS reports a cylinder fewer than the disk has; the file ends in the last
            // cylinder it reports, so the test stands right at the boundary.
            EXPECT_EQ(hexField(console, "cylinders"), c.cylinders - 1) << console;
            EXPECT_EQ(hexField(console, "heads"), 64u) << console;
            EXPECT_EQ(hexField(console, "sectors"), 32u) << console;
            const std::string chs = field(console, "chs");
            EXPECT_EQ(chs.empty() ? 0 : std::stoul(chs.substr(0, chs.find('/')), nullptr, 16), c.cylinders - 2)
                << console;
        }
        fs::remove(iso);
    }
}

}  // namespace
