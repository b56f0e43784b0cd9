// The built `pellorin iso` against tools nobody here wrote: xorriso and isoinfo read the CD and
// its El Torito entry, fsck.fat and mtools check the emulated hard disk, and SeaBIOS in qemu
// boots the image into the test kernel. Also the command line's prompts, exit codes and Ctrl-C.

#include "TestSupport.h"
#include "signal_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using systemtest::runAndSignal;
using namespace testsupport;

constexpr std::size_t kDiskOffset = 47104;
constexpr std::uint32_t MiB = 1048576;

const fs::path kTestKernel = fs::path(BINARY_DIR) / "resources/pellorin/testkernel.bin";

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

// The blank-separated fields after `prefix` of every line that starts with it.
std::vector<std::vector<std::string>> fieldsOfLines(const std::string& text, const std::string& prefix) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::istringstream fields(line.substr(prefix.size()));
        lines.emplace_back();
        for (std::string f; fields >> f;) lines.back().push_back(f);
    }
    return lines;
}

std::string pellorin(const std::string& args) { return shellQuote(PELLORIN_PROGRAM) + " " + args; }

// A payload directory: the test kernel as KERNEL.SYS and files of the given sizes for the rest.
struct Payload {
    const char* name;
    std::uint32_t flashSize;
    bool withRecovery;
    std::uint32_t cylinders = 0;  // of the emulated disk, when the case fixes it
};

std::vector<std::string> writePayload(const fs::path& dir, const Payload& p) {
    fs::create_directories(dir);
    fs::copy_file(kTestKernel, dir / "KERNEL.SYS");
    writeFileText(dir / "AUTOEXEC.BAT", "@ECHO OFF\r\nKMV.EXE\r\n");
    writeFileBytes(dir / "COMMAND.COM", patternBytes(1234, 2));
    writeFileBytes(dir / "KMV.EXE", patternBytes(70001, 3));
    std::vector<std::string> names{"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "KMV.EXE", "FLASH.IMG"};
    if (p.withRecovery) {
        writeFileBytes(dir / "RECOVERY.PDF", patternBytes(20000, 4));
        names.push_back("RECOVERY.PDF");
    }
    writeFileBytes(dir / "FLASH.IMG", patternBytes(p.flashSize, 5));
    return names;
}

std::uint64_t payloadBytes(const fs::path& dir) {
    std::uint64_t sum = 0;
    for (const auto& entry : fs::directory_iterator(dir)) sum += entry.file_size();
    return sum;
}

class PellorinIso : public testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"xorriso", "isoinfo", "fsck.fat", "mcopy"}) {
            if (!haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_TRUE(fs::exists(kTestKernel)) << kTestKernel;
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
    }
    TempDir tmp;
};

// Checks one built image with the third-party tools; returns the partition's file.
void checkImage(const fs::path& iso, const fs::path& payloadDir, const std::vector<std::string>& names,
                const fs::path& work) {
    const auto image = readFileBytes(iso);
    ASSERT_GT(image.size(), kDiskOffset + 512);

    // El Torito: one BIOS boot image, hard-disk emulation, system type 6, load size 1, LBA 23.
    const auto torito = runCommand("xorriso -indev " + shellQuote(iso.string()) + " -report_el_torito plain");
    ASSERT_EQ(torito.exitCode, 0) << torito.output;
    const std::vector<std::vector<std::string>> bootImages = fieldsOfLines(torito.output, "El Torito boot img :");
    ASSERT_EQ(bootImages.size(), 1u) << torito.output;
    EXPECT_EQ(bootImages[0], (std::vector<std::string>{"1", "BIOS", "y", "hd", "0x07c0", "0x06", "1", "23"}))
        << torito.output;

    // The file ends on a whole 2048-byte block (a CD reader serves nothing else), and the
    // volume's size is that many blocks, in both byte orders.
    EXPECT_EQ(image.size() % 2048, 0u);
    const std::uint32_t blocks = static_cast<std::uint32_t>(image.size() / 2048);
    EXPECT_EQ(le32(image, 0x8050), blocks);
    EXPECT_EQ(be32(image, 0x8054), blocks);
    const auto info = runCommand("isoinfo -d -i " + shellQuote(iso.string()));
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("Volume size is: " + std::to_string(blocks) + "\n"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Volume id: RESTORE"), std::string::npos) << info.output;

    // The emulated disk's boot record carries the two patches.
    EXPECT_EQ(image[kDiskOffset + 0x1C2], 0x06);
    EXPECT_EQ(image[kDiskOffset + 0xCA], 0xB8);
    EXPECT_EQ(image[kDiskOffset + 0xCB], 0x01);
    EXPECT_EQ(image[kDiskOffset + 0xCC], 0x02);
    EXPECT_EQ(image[kDiskOffset + 0x1BE], 0x80) << "active partition";
    EXPECT_EQ(image[kDiskOffset + 0x1FE], 0x55);
    EXPECT_EQ(image[kDiskOffset + 0x1FF], 0xAA);

    // The partition as a volume of its own (sectors past the file's end read as zeros).
    const std::uint32_t first = le32(image, kDiskOffset + 0x1BE + 8);
    const std::uint32_t count = le32(image, kDiskOffset + 0x1BE + 12);
    EXPECT_EQ(first, 32u);
    const std::size_t begin = kDiskOffset + std::size_t{first} * 512;
    ASSERT_LT(begin, image.size());
    std::vector<std::uint8_t> part(std::size_t{count} * 512, 0);
    std::copy(image.begin() + static_cast<std::ptrdiff_t>(begin),
              image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), begin + part.size())), part.begin());
    const fs::path partFile = work / "partition.img";
    writeFileBytes(partFile, part);
    const auto fsck = runCommand("fsck.fat -n " + shellQuote(partFile.string()));
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;

    for (const auto& name : names) {
        const fs::path out = work / ("back." + name);
        const auto copy = runCommand("mcopy -n -i " + shellQuote(partFile.string()) + " ::" + name + " " +
                                     shellQuote(out.string()));
        ASSERT_EQ(copy.exitCode, 0) << name << ": " << copy.output;
        EXPECT_EQ(readFileBytes(out), readFileBytes(payloadDir / name)) << name;
    }
}

// Boots the ISO as a CD in SeaBIOS; returns what the test kernel wrote on the debug console.
std::string bootCd(const fs::path& iso, const fs::path& work) {
    const fs::path log = work / "debugcon.log";
    runCommand("timeout 60 qemu-system-i386 -accel tcg -m 16 -display none -no-reboot -boot d -cdrom " +
               shellQuote(iso.string()) + " -debugcon file:" + shellQuote(log.string()) +
               " -device isa-debug-exit,iobase=0xf4,iosize=0x04");
    if (!fs::exists(log)) return "";
    const auto bytes = readFileBytes(log);
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(PellorinIso, BuildsImagesThatToolsReadAndSeaBiosBoots) {
    const bool haveQemu = haveProgram("qemu-system-i386");
    const Payload cases[] = {
        {"ordinary payload: its whole MiB and a spare cylinder", 20000000, true, 21},
        {"a few MiB grow past the smallest disk", 3 * MiB + 4321, true, 5},
        {"a few KiB in all", 2000, false, 5},
        {"exactly 10 MiB in all", 0, true, 12},  // FLASH.IMG fills up to 10 MiB
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path work = tmp / c.name;
        const fs::path payload = work / "payload";
        Payload p = c;
        if (p.flashSize == 0) {
            writePayload(payload, {c.name, 1, c.withRecovery, 0});
            p.flashSize = static_cast<std::uint32_t>(10 * MiB - (payloadBytes(payload) - 1));
            fs::remove_all(payload);
        }
        const auto names = writePayload(payload, p);
        if (c.flashSize == 0) {
            ASSERT_EQ(payloadBytes(payload), 10u * MiB);
        }
        const fs::path iso = work / "recovery.iso";

        const auto run = runCommand(pellorin("iso " + shellQuote(iso.string()) + " --payload " +
                                             shellQuote(payload.string()) + " </dev/null"));
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find("The ISO image has been created successfully"), std::string::npos) << run.output;
        checkImage(iso, payload, names, work);
        const auto image = readFileBytes(iso);
        EXPECT_EQ(le32(image, kDiskOffset + 0x1BE + 12), c.cylinders * 2048 - 32) << "partition sectors";

        if (haveQemu) {
            const std::string console = bootCd(iso, work);
            EXPECT_NE(console.find("TESTKERNEL"), std::string::npos) << console;
            EXPECT_NE(console.find("image=ok"), std::string::npos) << console;
        }
    }
}

TEST_F(PellorinIso, PayloadIsTakenFromTheProgramsOwnDirectoryByDefault) {
    const fs::path dir = tmp / "delivered";
    writePayload(dir, {"next to the program", 12345, true, 0});
    fs::copy_file(PELLORIN_PROGRAM, dir / "pellorin");
    fs::permissions(dir / "pellorin", fs::perms::owner_exec, fs::perm_options::add);
    const fs::path iso = tmp / "default.iso";
    const auto run = runCommand("cd / && " + shellQuote((dir / "pellorin").string()) + " iso " +
                                shellQuote(iso.string()) + " </dev/null");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const fs::path back = tmp / "FLASH.back";
    const auto copy = runCommand("mcopy -n -i " + shellQuote(iso.string() + "@@" + std::to_string(kDiskOffset + 32 * 512)) +
                                 " ::FLASH.IMG " + shellQuote(back.string()));
    ASSERT_EQ(copy.exitCode, 0) << copy.output;
    EXPECT_EQ(readFileBytes(back), readFileBytes(dir / "FLASH.IMG"));
}

TEST_F(PellorinIso, ExistingFileIsReplacedOnlyWhenTheUserSaysSo) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"small", 5000, false, 0});
    const struct {
        const char* name;
        const char* options;
        const char* answer;
        int exitCode;
        bool replaced;
        bool asked;
    } cases[] = {
        {"no at the prompt", "", "n\n", 2, false, true},
        {"no answer at all", "", "", 2, false, true},
        {"something else", "", "replace\n", 2, false, true},
        {"yes at the prompt", "", "yes\n", 0, true, true},
        {"--yes", "--yes", "", 0, true, false},
        {"-y", "-y", "n\n", 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path iso = tmp / "old.iso";
        writeFileText(iso, "precious");
        const auto run = runCommand("printf %s " + shellQuote(c.answer) + " | " +
                                    pellorin("iso " + shellQuote(iso.string()) + " " + c.options +
                                             " --payload " + shellQuote(payload.string())));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_EQ(run.output.find("already exists") != std::string::npos, c.asked) << run.output;
        if (!c.replaced) {
            EXPECT_NE(run.output.find(iso.string() + " was kept.\n"), std::string::npos) << run.output;
        }
        if (c.asked && c.answer[0] == '\0') {
            EXPECT_NE(run.output.find("[y/N] \n" + iso.string() + " was kept.\n"), std::string::npos)
                << "the end of input ends the prompt's line: " << run.output;
        }
        const auto bytes = readFileBytes(iso);
        EXPECT_EQ(bytes.size() > kDiskOffset, c.replaced);
        if (!c.replaced) {
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "precious");
        }
    }
}

// A link planted at FILE is replaced by the image (after the usual question); the file it names
// keeps every byte. A device node, a pipe or a folder at FILE is refused.
TEST_F(PellorinIso, ALinkAtTheFileIsReplacedNeverWrittenThrough) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"small", 5000, false, 0});
    const fs::path precious = tmp / "precious";
    writeFileText(precious, "root's own file");
    const fs::path iso = tmp / "out.iso";
    fs::create_symlink(precious, iso);
    const auto run = runCommand(pellorin("iso " + shellQuote(iso.string()) + " --yes --payload " +
                                         shellQuote(payload.string())) + " </dev/null");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::is_symlink(iso));
    EXPECT_GT(fs::file_size(iso), std::uintmax_t{kDiskOffset});
    const auto bytes = readFileBytes(precious);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "root's own file");

    fs::create_directories(tmp / "folder.iso");
    ASSERT_EQ(::mkfifo((tmp / "pipe.iso").c_str(), 0600), 0);
    for (const fs::path& refused : {fs::path("/dev/null"), tmp / "pipe.iso", tmp / "folder.iso"}) {
        SCOPED_TRACE(refused.string());
        const auto again = runCommand(pellorin("iso " + shellQuote(refused.string()) + " --yes --payload " +
                                               shellQuote(payload.string())) + " </dev/null");
        EXPECT_EQ(again.exitCode, 3) << again.output;
        EXPECT_NE(again.output.find("is not a plain file"), std::string::npos) << again.output;
    }
}

TEST_F(PellorinIso, FailuresAndWrongArgumentsAreToldApart) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"small", 5000, false, 0});
    const fs::path huge = tmp / "huge";
    fs::create_directories(huge);
    fs::copy_file(kTestKernel, huge / "KERNEL.SYS");
    writeFileText(huge / "FLASH.IMG", "");
    fs::resize_file(huge / "FLASH.IMG", std::uint64_t{3} * 1024 * MiB);  // sparse; beyond FAT16
    fs::create_directories(tmp / "a directory.iso");
    const std::string p = " --payload " + shellQuote(payload.string());
    const struct {
        const char* name;
        std::string args;
        int exitCode;
        const char* says;
    } cases[] = {
        {"help", "--help", 0, "iso"},
        {"iso help", "iso --help", 0, "--payload"},
        {"unknown command", "burn x.iso", 64, "subcommand"},
        {"no file", "iso" + p, 64, "FILE"},
        {"payload directory missing", "iso x.iso --payload " + shellQuote((tmp / "nowhere").string()), 64, "nowhere"},
        {"unknown option", "iso x.iso --fast" + p, 64, "--fast"},
        {"folder of the file missing", "iso " + shellQuote((tmp / "no/such/dir/x.iso").string()) + p, 3,
         "An error occurred while attempting to create the ISO file.\n\nMake sure"},
        {"the file is a directory", "iso --yes " + shellQuote((tmp / "a directory.iso").string()) + p, 3,
         "is not a plain file"},
        {"payload too large for FAT16", "iso " + shellQuote((tmp / "huge.iso").string()) + " --payload " +
         shellQuote(huge.string()), 3, "is larger than a FAT16 disk can hold"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = runCommand(pellorin(c.args) + " </dev/null");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
    EXPECT_TRUE(fs::is_directory(tmp / "a directory.iso"));
}


std::size_t entriesIn(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// True when the folder's file system makes unnamed files (O_TMPFILE).
bool unnamedFilesWork(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// A build cut short by a signal leaves no image under the final name, and an image that was
// there before stays as it was. SIGKILL cannot be caught: the unnamed temporary file vanishes
// with the process.
TEST_F(PellorinIso, SignalsDuringTheWriteLeaveNothingUnderTheFinalName) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"large", 1000, false, 0});
    fs::resize_file(payload / "FLASH.IMG", 400ull * MiB);  // sparse: quick to read, long to write
    const struct {
        const char* name;
        int signal;
        int status;
    } cases[] = {
        {"Ctrl-C", SIGINT, 2},
        {"terminal hung up", SIGHUP, 2},
        {"terminated", SIGTERM, 2},
        {"killed", SIGKILL, -SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = tmp / c.name;
        fs::create_directories(out);
        const fs::path fresh = out / "fresh.iso";
        std::string output;
        EXPECT_EQ(runAndSignal({PELLORIN_PROGRAM, "iso", fresh.string(), "--payload", payload.string()}, c.signal, output),
                  c.status)
            << output;
        if (c.signal != SIGKILL) {
            EXPECT_NE(output.find("Cancelled."), std::string::npos) << output;
        }
        EXPECT_EQ(output.find("created successfully"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(fresh));
        if (c.signal == SIGKILL && !unnamedFilesWork(out)) {
            // Without unnamed files a killed build can leave its hidden temporary name.
            for (const auto& entry : fs::directory_iterator(out)) {
                EXPECT_EQ(entry.path().filename().string().rfind(".fresh.iso.", 0), 0u) << entry.path();
                fs::remove(entry.path());
            }
        }
        EXPECT_EQ(entriesIn(out), 0u) << "no temporary file is left";

        const fs::path old = out / "old.iso";
        writeFileText(old, "precious");
        output.clear();
        EXPECT_EQ(runAndSignal({PELLORIN_PROGRAM, "iso", "--yes", old.string(), "--payload", payload.string()}, c.signal,
                               output),
                  c.status)
            << output;
        EXPECT_EQ(readFileBytes(old), (std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
        EXPECT_EQ(entriesIn(out), unnamedFilesWork(out) || c.signal != SIGKILL ? 1u : 2u);
    }
}

// The flush of a large image is most of the run: a signal while the process is inside it ends
// the run as cancelled, and an image that was there before stays as it was.
TEST_F(PellorinIso, SignalsDuringTheFlushKeepTheOldImage) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"large", 1000, false, 0});
    fs::resize_file(payload / "FLASH.IMG", 300ull * MiB);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const fs::path out = tmp / ("flush" + std::to_string(signal));
        fs::create_directories(out);
        const fs::path old = out / "old.iso";
        writeFileText(old, "precious");
        std::string output;
        bool inFlush = false;
        EXPECT_EQ(runAndSignal({PELLORIN_PROGRAM, "iso", "--yes", old.string(), "--payload", payload.string()}, signal,
                               output, "Writing the image to the disk...", {SYS_fsync, SYS_fdatasync, SYS_sync_file_range},
                               &inFlush),
                  2)
            << output;
        if (!inFlush) std::fprintf(stderr, "the flush ended before it was seen; the signal came after it\n");
        EXPECT_NE(output.find("Cancelled."), std::string::npos) << output;
        EXPECT_EQ(output.find("created successfully"), std::string::npos) << output;
        EXPECT_EQ(readFileBytes(old), (std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
        EXPECT_EQ(entriesIn(out), 1u) << "no temporary file is left";
    }
}

TEST_F(PellorinIso, AClosedOutputPipeCancelsInsteadOfKilling) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"large", 1000, false, 0});
    fs::resize_file(payload / "FLASH.IMG", 400ull * MiB);
    const fs::path iso = tmp / "piped.iso";
    const auto run = runCommand("bash -c " + shellQuote(pellorin("iso " + shellQuote(iso.string()) + " --payload " +
                                                                 shellQuote(payload.string())) +
                                                        " 2>&1 </dev/null | head -3; exit ${PIPESTATUS[0]}"));
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_FALSE(fs::exists(iso));
    EXPECT_EQ(entriesIn(tmp.path()), 1u) << "only the payload";
}

// Payloads that could never make a working CD fail at once with exit code 3 and their own
// reason, before the ISO file is touched; the trace carries the system's error text.
TEST_F(PellorinIso, PayloadsThatCannotWorkFailQuicklyAndKeepTheOldImage) {
    const bool root = ::geteuid() == 0;
    if (root && !haveProgram("setpriv")) GTEST_SKIP() << "setpriv is not installed";
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const auto sparse = [](const fs::path& file, std::uint64_t bytes) {
        writeFileText(file, "");
        fs::resize_file(file, bytes);
    };
    const struct {
        const char* name;
        std::function<void(const fs::path&)> change;  // applied to a good payload
        std::string says;
        std::string traces;
    } cases[] = {
        {"beyond 1024 cylinders", [&](const fs::path& d) { sparse(d / "FLASH.IMG", 1100ull * MiB); },
         "can be read by the BIOS only up to 1024 MiB", "cylinders; a CD serves 1024!"},
        {"1023 MiB leave no spare cylinder", [&](const fs::path& d) { sparse(d / "FLASH.IMG", 1023ull * MiB); },
         "needs an emulated hard disk of 1025 MiB", "1025 cylinders; a CD serves 1024!"},
        {"4 GiB", [&](const fs::path& d) { sparse(d / "FLASH.IMG", 4096ull * MiB); },
         "(4294967296 bytes) is larger than a FAT16 disk can hold", "(4294967296 bytes) does not fit"},
        {"4 GiB and 1 MiB", [&](const fs::path& d) { sparse(d / "FLASH.IMG", 4097ull * MiB); },
         "(4296015872 bytes) is larger than a FAT16 disk can hold", "does not fit"},
        {"unreadable FLASH.IMG", [](const fs::path& d) { fs::permissions(d / "FLASH.IMG", fs::perms::owner_write); },
         "FLASH.IMG cannot be read: Permission denied.", "FLASH.IMG: Permission denied\n"},
        {"empty KERNEL.SYS", [](const fs::path& d) { writeFileText(d / "KERNEL.SYS", ""); },
         "KERNEL.SYS is missing or empty", "KERNEL.SYS is missing or empty!"},
        {"empty payload directory", [](const fs::path& d) { fs::remove_all(d); fs::create_directory(d); },
         "KERNEL.SYS is missing or empty", "KERNEL.SYS: No such file or directory\n"},
        {"FIFO named FLASH.IMG",
         [](const fs::path& d) { fs::remove(d / "FLASH.IMG"); ::mkfifo((d / "FLASH.IMG").c_str(), 0644); },
         "FLASH.IMG cannot be read: not a regular file.", "FLASH.IMG: not a regular file\n"},
        {"directory named FLASH.IMG beside FLASH.BIN",
         [](const fs::path& d) {
             fs::remove(d / "FLASH.IMG");
             fs::create_directory(d / "FLASH.IMG");
             writeFileText(d / "FLASH.BIN", "x");
         },
         "FLASH.IMG cannot be read: Is a directory.", "FLASH.IMG: Is a directory\n"},
        {"dangling link named FLASH.IMG",
         [](const fs::path& d) { fs::remove(d / "FLASH.IMG"); fs::create_symlink("gone", d / "FLASH.IMG"); },
         "FLASH.IMG cannot be read: No such file or directory.", "FLASH.IMG: No such file or directory\n"},
    };
    const fs::path out = tmp / "out";
    fs::create_directories(out);
    fs::permissions(out, fs::perms::all);
    const fs::path iso = out / "old.iso";
    // A copy of the program in the scratch folder, so that another user can run it wherever the
    // build tree is.
    const fs::path program = tmp / "pellorin";
    fs::copy_file(PELLORIN_PROGRAM, program);
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path payload = tmp / "payload";
        fs::remove_all(payload);
        writePayload(payload, {c.name, 5000, false, 0});
        c.change(payload);
        writeFileText(iso, "precious");
        // As root every file is readable: the build then runs as another user.
        const std::string as = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        const auto started = std::chrono::steady_clock::now();
        const auto run = runCommand("timeout 60 " + as + shellQuote(program.string()) + " iso --yes " +
                                    shellQuote(iso.string()) + " --payload " + shellQuote(payload.string()) +
                                    " </dev/null");
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_LT(seconds, 10);
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.traces), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("free disk space"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("created successfully"), std::string::npos) << run.output;
        EXPECT_EQ(readFileBytes(iso), (std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
        EXPECT_EQ(entriesIn(out), 1u);
    }
}

TEST_F(PellorinIso, MissingFilesAreNamedOnTheTerminal) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"no recovery", 5000, false, 0});
    const auto run = runCommand(pellorin("iso " + shellQuote((tmp / "x.iso").string()) + " --payload " +
                                         shellQuote(payload.string())) +
                                " </dev/null");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("warning: not found, the medium is built without " + (payload / "RECOVERY.PDF").string()),
              std::string::npos)
        << run.output;
}

// A file system that fills up during the write: the build fails with the space text and the
// system's reason, and the image that was there stays. A small tmpfs where mounts are allowed,
// else a file-size limit on the process.
TEST_F(PellorinIso, AFullFileSystemKeepsTheOldImage) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, {"ten MiB", 10 * MiB, false, 0});
    const fs::path out = tmp / "small";
    fs::create_directories(out);
    const bool mounted = ::geteuid() == 0 &&
                         runCommand("mount -t tmpfs -o size=4m tmpfs " + shellQuote(out.string())).exitCode == 0;
    const fs::path iso = out / "old.iso";
    writeFileText(iso, "precious");
    const std::string limit = mounted ? "" : "prlimit --fsize=4000000 ";
    const auto run = runCommand(limit + pellorin("iso --yes " + shellQuote(iso.string()) + " --payload " +
                                                 shellQuote(payload.string())) +
                                " </dev/null");
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find(mounted ? std::strerror(ENOSPC) : std::strerror(EFBIG)), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("free disk space"), std::string::npos) << run.output;
    EXPECT_EQ(readFileBytes(iso), (std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(entriesIn(out), 1u);
    if (mounted) runCommand("umount " + shellQuote(out.string()));
}

// KERNEL.SYS alone takes an odd number of 1 KiB clusters: the CD boots only because the image
// ends on a whole block.
TEST_F(PellorinIso, AKernelOnlyImageBootsInSeaBios) {
    if (!haveProgram("qemu-system-i386")) GTEST_SKIP() << "qemu-system-i386 is not installed";
    const fs::path payload = tmp / "payload";
    fs::create_directories(payload);
    fs::copy_file(kTestKernel, payload / "KERNEL.SYS");
    const fs::path iso = tmp / "kernel-only.iso";
    const auto run = runCommand(pellorin("iso " + shellQuote(iso.string()) + " --payload " + shellQuote(payload.string())) +
                                " </dev/null");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    checkImage(iso, payload, {"KERNEL.SYS"}, tmp.path());
    const std::string console = bootCd(iso, tmp.path());
    EXPECT_NE(console.find("TESTKERNEL"), std::string::npos) << console;
}

}  // namespace
