// The ISO job end to end on files: what it writes around the FAT16 writer's disk, its progress
// and cancel protocol, its results, and what it leaves behind on each path.

#include "iso/IsoImageBuilder.h"

#include "TestSupport.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "isohdr/IsoHeaderResource.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;
using testsupport::patternBytes;
using testsupport::readFileBytes;
using testsupport::TempDir;
using testsupport::writeFileBytes;

// Records what the job shows; its pump cancels (as a confirmed Cancel would) at the given call.
class RecordingView : public CIsoJobView {
public:
    explicit RecordingView(int cancelAtPump = 0) : m_cancelAtPump(cancelAtPump) {}
    void SetProgressRange(int nLower, int nUpper) override { ranges.emplace_back(nLower, nUpper); }
    void SetProgressPos(int nPos) override { positions.push_back(nPos); }
    void SetStatusText(std::string_view text) override {
        statuses.emplace_back(text);
        if (text == isotext::kFlushing) pumpsBeforeFlush = pumps;
    }
    void ShowWarning(std::string_view text) override { warnings.emplace_back(text); }
    void ShowMissingPayload(std::string_view path) override { missing.emplace_back(path); }
    void PumpOneMessage() override {
        if (++pumps == m_cancelAtPump) g_bIsoBusy = false;
    }

    std::vector<std::pair<int, int>> ranges;
    std::vector<int> positions;
    std::vector<std::string> statuses;
    std::vector<std::string> warnings;
    std::vector<std::string> missing;
    int pumps = 0;
    int pumpsBeforeFlush = -1;  // pumps made when the flush began

private:
    int m_cancelAtPump;
};

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

void writePayload(const fs::path& dir, std::size_t flashSize) {
    fs::create_directories(dir);
    writeFileBytes(dir / "KERNEL.SYS", patternBytes(45000, 1));
    writeFileBytes(dir / "COMMAND.COM", patternBytes(66000, 2));
    writeFileBytes(dir / "AUTOEXEC.BAT", patternBytes(30, 3));
    writeFileBytes(dir / "KMV.EXE", patternBytes(90000, 4));
    writeFileBytes(dir / "FLASH.IMG", patternBytes(flashSize, 5));
}

struct JobRun {
    int result;
    RecordingView view;
    std::string trace;
};

JobRun build(const fs::path& iso, const fs::path& payload, int cancelAtPump = 0) {
    JobRun run{kWorkFailed, RecordingView(cancelAtPump), {}};
    testing::internal::CaptureStderr();
    run.result = BuildIsoImage(iso.string(), payload, run.view, [] { return DWORD{0x12345678}; });
    run.trace = testing::internal::GetCapturedStderr();
    return run;
}

class IsoImageBuilder : public testing::Test {
protected:
    TempDir tmp;
};

TEST_F(IsoImageBuilder, WritesHeaderDiskPatchesAndVolumeSize) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 2 * 1048576 + 777);
    const fs::path iso = tmp / "out.iso";
    writeFileBytes(iso, std::vector<std::uint8_t>(20 * 1048576, 0xEE));  // a larger file to replace

    const JobRun run = build(iso, payload);
    ASSERT_EQ(run.result, kWorkDone) << run.trace;
    EXPECT_FALSE(g_bIsoBusy);
    EXPECT_TRUE(run.view.warnings.empty());

    const auto image = readFileBytes(iso);
    const auto header = IsoHeaderTemplate();
    ASSERT_GT(image.size(), header.size());
    EXPECT_LT(image.size(), 20u * 1048576) << "the old file's tail is gone";
    // The header as the template has it, but for the volume space size.
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (i >= 0x8050 && i < 0x8058) continue;
        ASSERT_EQ(image[i], header[i]) << "header byte " << i;
    }
    // The data end inside a 2048-byte block (2,247 clusters of 1 KiB): zeros fill that block,
    // since a CD reader serves whole blocks only.
    EXPECT_EQ(image.size() % 2048, 0u);
    const std::size_t dataEnd = kIsoDiskOffset + (std::size_t{le32(image, kIsoDiskOffset + 32 * 512 + 0x4A)} + 2247 * 2) * 512;
    EXPECT_NE(dataEnd % 2048, 0u);
    EXPECT_EQ(image.size(), (dataEnd + 2047) / 2048 * 2048);
    EXPECT_TRUE(std::all_of(image.begin() + static_cast<std::ptrdiff_t>(dataEnd), image.end(), [](auto b) { return b == 0; }));
    const std::uint32_t blocks = static_cast<std::uint32_t>(image.size() / 2048);
    EXPECT_EQ(le32(image, 0x8050), blocks);
    EXPECT_EQ(be32(image, 0x8054), blocks);

    // The emulated disk: the boot record with its two patches, the partition one track in.
    const std::size_t mbr = kIsoDiskOffset;
    EXPECT_EQ(image[mbr + 0x1C2], 0x06);
    EXPECT_EQ((std::vector<std::uint8_t>(image.begin() + mbr + 0xCA, image.begin() + mbr + 0xCD)),
              (std::vector<std::uint8_t>{0xB8, 0x01, 0x02}));
    EXPECT_EQ(le32(image, mbr + 0x1BE + 8), 32u);
    const std::size_t pbr = mbr + 32 * 512;
    EXPECT_EQ(std::string(image.begin() + pbr + 3, image.begin() + pbr + 11), "FreeDOS ");
    EXPECT_EQ(le32(image, pbr + 0x27), 0x12345678u) << "serial from the injected tick count";
    // About 2.2 MiB of payload make 3 cylinders, 6,144 sectors: too small, so the disk has 5.
    EXPECT_EQ(le32(image, mbr + 0x1BE + 12), 5u * 2048 - 32);

    // Progress: the range once, percentages rising to 100, string 20 for each.
    EXPECT_EQ(run.view.ranges, (std::vector<std::pair<int, int>>{{0, 100}}));
    ASSERT_FALSE(run.view.positions.empty());
    EXPECT_TRUE(std::is_sorted(run.view.positions.begin(), run.view.positions.end()));
    EXPECT_EQ(run.view.positions.back(), 100);
    // The writer's last step, then the flush, which serves the cancel as well.
    ASSERT_GE(run.view.statuses.size(), 2u);
    EXPECT_EQ(run.view.statuses[run.view.statuses.size() - 2], "Formatting: 100%.");
    EXPECT_EQ(run.view.statuses.back(), isotext::kFlushing);
    EXPECT_EQ(run.view.pumpsBeforeFlush, static_cast<int>(run.view.positions.size())) << "one message per step";
    EXPECT_GT(run.view.pumps, run.view.pumpsBeforeFlush);

    // The same payload makes the same image.
    const fs::path again = tmp / "again.iso";
    ASSERT_EQ(build(again, payload).result, kWorkDone);
    EXPECT_EQ(readFileBytes(again), image);
}

TEST_F(IsoImageBuilder, CancelStopsTheWriteAndTheFlushAndKeepsTheOldFile) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 3 * 1048576);
    const JobRun full = build(tmp / "full.iso", payload);
    ASSERT_EQ(full.result, kWorkDone);
    const int steps = full.view.pumps;
    ASSERT_GT(full.view.pumpsBeforeFlush, 3);
    ASSERT_GT(steps, full.view.pumpsBeforeFlush) << "the flush serves the cancel too";

    const std::vector<std::uint8_t> old = patternBytes(5000, 9);
    // During the write, at the flush's first step, and at its last check before the rename.
    for (int at : {1, full.view.pumpsBeforeFlush / 2, full.view.pumpsBeforeFlush + 1, steps}) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE("cancel at step " + std::to_string(at) + (existing ? " over an old image" : ""));
            const fs::path iso = tmp / "cancelled.iso";
            if (existing) writeFileBytes(iso, old);
            const JobRun run = build(iso, payload, at);
            EXPECT_EQ(run.result, kWorkCancelled);
            EXPECT_EQ(fs::exists(iso), existing);
            if (existing) {
                EXPECT_EQ(readFileBytes(iso), old);
            }
            EXPECT_TRUE(run.view.warnings.empty()) << "a cancel needs no word";
            EXPECT_LE(run.view.pumps, at + 1) << "the job stops at its next step";
            EXPECT_FALSE(g_bIsoBusy);
            fs::remove(iso);
        }
    }
}

TEST_F(IsoImageBuilder, FailuresShowTheirReasonAndEndWithThree) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 1000);
    const fs::path fifo = tmp / "pipe.iso";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directories(tmp / "dir.iso");
    const std::string string10(LoadStringText(IDS_ISO_CREATE_FAILED));
    // The one spelling of this line that every job of the program uses.
    const auto couldNotOpen = [](const fs::path& path) {
        return "***ERROR*** Could not open [" + path.string() + "]!\n";
    };

    const struct {
        const char* name;
        fs::path iso;
        std::string trace;
        std::string warning;  // the start of the one warning shown
    } cases[] = {
        {"folder missing", tmp / "no" / "such.iso", couldNotOpen(tmp / "no" / "such.iso"), string10},
        {"a directory of that name", tmp / "dir.iso", couldNotOpen(tmp / "dir.iso"), string10},
        {"a pipe of that name is never opened", fifo, couldNotOpen(fifo), string10},
        {"one of the payload files", payload / "FLASH.IMG", "is one of the payload files",
         (payload / "FLASH.IMG").string() + " is one of the payload files."},
        {"the same file by another path", tmp / "payload" / ".." / "payload" / "KMV.EXE",
         "is one of the payload files", "is one of the payload files."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool existed = fs::exists(fs::symlink_status(c.iso));
        const JobRun run = build(c.iso, payload);
        EXPECT_EQ(run.result, kWorkFailed);
        ASSERT_EQ(run.view.warnings.size(), 1u);
        EXPECT_NE(run.view.warnings[0].find(c.warning), std::string::npos) << run.view.warnings[0];
        EXPECT_NE(run.trace.find(c.trace), std::string::npos) << run.trace;
        EXPECT_EQ(fs::exists(fs::symlink_status(c.iso)), existed);
        EXPECT_FALSE(g_bIsoBusy);
    }
    EXPECT_NE(build(tmp / "no" / "such.iso", payload).trace.find(std::strerror(ENOENT)), std::string::npos)
        << "the trace says why";
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(readFileBytes(payload / "FLASH.IMG"), patternBytes(1000, 5)) << "the payload is untouched";
    EXPECT_EQ(readFileBytes(payload / "KMV.EXE"), patternBytes(90000, 4));
    EXPECT_TRUE(fs::is_directory(tmp / "dir.iso"));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 3)
        << "no temporary file is left beside the targets";
}

// Payloads that can never make a working CD are refused before the ISO file is touched: an
// existing image stays byte for byte, and the warning names the reason, not space or rights.
TEST_F(IsoImageBuilder, PayloadsThatCannotWorkAreRefusedAndTheOldImageStays) {
    const auto sparse = [](const fs::path& file, std::uint64_t bytes) {
        writeFileBytes(file, {});
        fs::resize_file(file, bytes);
    };
    const struct {
        const char* name;
        std::function<void(const fs::path&)> change;  // applied to a good payload
        std::string warning;
    } cases[] = {
        {"beyond 1024 cylinders", [&](const fs::path& d) { sparse(d / "FLASH.IMG", (std::uint64_t{1} << 30) + 1); },
         "can be read by the BIOS only up to 1024 MiB"},
        {"a FLASH.IMG of 4 GiB", [&](const fs::path& d) { sparse(d / "FLASH.IMG", std::uint64_t{4} << 30); },
         "FLASH.IMG (4294967296 bytes) is larger than a FAT16 disk can hold (2147090432 bytes)"},
        {"4 GiB and 1 MiB", [&](const fs::path& d) { sparse(d / "FLASH.IMG", (std::uint64_t{4} << 30) + 1048576); },
         "FLASH.IMG (4296015872 bytes) is larger than a FAT16 disk"},
        {"3 GiB", [&](const fs::path& d) { sparse(d / "FLASH.IMG", std::uint64_t{3} << 30); },
         "is larger than a FAT16 disk can hold"},
        {"no KERNEL.SYS", [](const fs::path& d) { fs::remove(d / "KERNEL.SYS"); }, "KERNEL.SYS is missing or empty"},
        {"an empty KERNEL.SYS", [](const fs::path& d) { writeFileBytes(d / "KERNEL.SYS", {}); },
         "KERNEL.SYS is missing or empty"},
        {"an empty payload directory", [](const fs::path& d) { fs::remove_all(d); fs::create_directory(d); },
         "KERNEL.SYS is missing or empty"},
        {"a FIFO named FLASH.IMG",
         [](const fs::path& d) { fs::remove(d / "FLASH.IMG"); ASSERT_EQ(::mkfifo((d / "FLASH.IMG").c_str(), 0600), 0); },
         "FLASH.IMG cannot be read: not a regular file."},
        {"a directory named FLASH.IMG, FLASH.BIN beside it",
         [](const fs::path& d) {
             fs::remove(d / "FLASH.IMG");
             fs::create_directory(d / "FLASH.IMG");
             writeFileBytes(d / "FLASH.BIN", patternBytes(100, 7));
         },
         "FLASH.IMG cannot be read: Is a directory."},
        {"a dangling link named FLASH.IMG",
         [](const fs::path& d) { fs::remove(d / "FLASH.IMG"); fs::create_symlink("gone", d / "FLASH.IMG"); },
         "FLASH.IMG cannot be read: No such file or directory."},
    };
    const fs::path iso = tmp / "old.iso";
    const auto old = patternBytes(123457, 9);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path payload = tmp / "payload";
        fs::remove_all(payload);
        writePayload(payload, 1000);
        c.change(payload);
        writeFileBytes(iso, old);
        const JobRun run = build(iso, payload);
        EXPECT_EQ(run.result, kWorkFailed);
        ASSERT_EQ(run.view.warnings.size(), 1u);
        EXPECT_NE(run.view.warnings[0].find(c.warning), std::string::npos) << run.view.warnings[0];
        EXPECT_EQ(run.view.warnings[0].find("free disk space"), std::string::npos);
        EXPECT_TRUE(run.view.positions.empty()) << "refused before the write";
        EXPECT_EQ(readFileBytes(iso), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2) << "nothing left beside";
    }
}

// A link planted at the ISO path (say, to a root-owned file, or a pipe) is replaced by the new
// image; what it pointed to is never written.
TEST_F(IsoImageBuilder, ALinkAtThePathIsReplacedAndNeverWrittenThrough) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 1000);
    fs::create_directories(tmp / "elsewhere");
    const fs::path real = tmp / "elsewhere" / "precious";
    writeFileBytes(real, patternBytes(100, 1));
    const fs::path fifo = tmp / "elsewhere" / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& target : {real, fifo, tmp / "elsewhere" / "missing"}) {
        SCOPED_TRACE(target.string());
        const fs::path link = tmp / "link.iso";
        fs::remove(link);
        fs::create_symlink(target, link);
        const JobRun run = build(link, payload);
        ASSERT_EQ(run.result, kWorkDone) << run.trace;
        EXPECT_FALSE(fs::is_symlink(link));
        EXPECT_GT(fs::file_size(link), std::uintmax_t{kIsoDiskOffset});
        EXPECT_EQ(readFileBytes(real), patternBytes(100, 1));
        EXPECT_EQ(std::distance(fs::directory_iterator(tmp / "elsewhere"), fs::directory_iterator()), 2);
    }
}

TEST_F(IsoImageBuilder, MissingFilesAreNamedAndLeftOut) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 1000);  // no RECOVERY.PDF
    const JobRun run = build(tmp / "out.iso", payload);
    ASSERT_EQ(run.result, kWorkDone) << run.trace;
    EXPECT_EQ(run.view.missing, std::vector<std::string>{(payload / "RECOVERY.PDF").string()});
    EXPECT_TRUE(run.view.warnings.empty());
}

TEST(IsoProgress, ShowsThePercentageAndStopsOnceCancelled) {
    const struct {
        DWORD total, done;
        int percent;
    } cases[] = {{3123, 0, 0}, {3123, 6, 0}, {3123, 1562, 50}, {3123, 3122, 99}, {3123, 3123, 100}, {1, 1, 100},
                 {0, 0, 100}};
    for (const auto& c : cases) {
        RecordingView view;
        g_bIsoBusy = true;
        EXPECT_EQ(IsoProgress(view, c.total, c.done), 0);
        EXPECT_EQ(view.positions, std::vector<int>{c.percent});
        EXPECT_EQ(view.statuses, std::vector<std::string>{"Formatting: " + std::to_string(c.percent) + "%."});
        EXPECT_EQ(view.pumps, 1);
    }
    RecordingView view;
    g_bIsoBusy = false;
    EXPECT_EQ(IsoProgress(view, 10, 5), 1);
    EXPECT_TRUE(view.positions.empty());
    EXPECT_EQ(view.pumps, 0);
}

}  // namespace
