// The ISO job end to end on files: what it writes around the FAT16 writer's disk, its progress
// and cancel protocol, its results, and what it leaves behind on each path.

#include "iso/IsoImageBuilder.h"

#include "TestSupport.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "isohdr/IsoHeaderResource.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
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
    void SetStatusText(std::string_view text) override { statuses.emplace_back(text); }
    void ShowWarning(std::string_view text) override { warnings.emplace_back(text); }
    void PumpOneMessage() override {
        if (++pumps == m_cancelAtPump) g_bIsoBusy = false;
    }

    std::vector<std::pair<int, int>> ranges;
    std::vector<int> positions;
    std::vector<std::string> statuses;
    std::vector<std::string> warnings;
    int pumps = 0;

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
    const std::uint32_t blocks = static_cast<std::uint32_t>((image.size() + 2047) / 2048);
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
    EXPECT_EQ(run.view.statuses.back(), "Formatting: 100%.");
    EXPECT_EQ(run.view.pumps, static_cast<int>(run.view.positions.size())) << "one message per step";

    // The same payload makes the same image.
    const fs::path again = tmp / "again.iso";
    ASSERT_EQ(build(again, payload).result, kWorkDone);
    EXPECT_EQ(readFileBytes(again), image);
}

TEST_F(IsoImageBuilder, CancelStopsTheWriteAndDeletesTheFile) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 3 * 1048576);
    const JobRun full = build(tmp / "full.iso", payload);
    ASSERT_EQ(full.result, kWorkDone);
    const int steps = full.view.pumps;
    ASSERT_GT(steps, 3);

    for (int at : {1, steps / 2, steps}) {
        SCOPED_TRACE("cancel at step " + std::to_string(at));
        const fs::path iso = tmp / "cancelled.iso";
        const JobRun run = build(iso, payload, at);
        EXPECT_EQ(run.result, kWorkCancelled);
        EXPECT_FALSE(fs::exists(iso));
        EXPECT_TRUE(run.view.warnings.empty()) << "a cancel needs no word";
        EXPECT_LE(run.view.pumps, at + 1) << "the writer stops at its next step";
        EXPECT_FALSE(g_bIsoBusy);
    }
}

TEST_F(IsoImageBuilder, FailuresShowString10AndEndWithThree) {
    const fs::path payload = tmp / "payload";
    writePayload(payload, 1000);
    const fs::path huge = tmp / "huge";
    fs::create_directories(huge);
    writeFileBytes(huge / "KERNEL.SYS", patternBytes(1000, 1));
    writeFileBytes(huge / "FLASH.IMG", {});
    fs::resize_file(huge / "FLASH.IMG", std::uint64_t{3} << 30);  // sparse, beyond FAT16
    const fs::path fifo = tmp / "pipe.iso";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directories(tmp / "dir.iso");

    const struct {
        const char* name;
        fs::path iso;
        fs::path payload;
        const char* trace;
        bool fileStays;
    } cases[] = {
        {"folder missing", tmp / "no" / "such.iso", payload, "Could not open [", false},
        {"a directory of that name", tmp / "dir.iso", payload, "Could not open [", true},
        {"a pipe of that name is never opened", fifo, payload, "Could not open [", true},
        {"payload beyond FAT16", tmp / "huge.iso", huge, "***ERROR***", true},
        {"one of the payload files", payload / "FLASH.IMG", payload, "is one of the payload files", true},
        {"the same file by another path", tmp / "payload" / ".." / "payload" / "KMV.EXE", payload,
         "is one of the payload files", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const JobRun run = build(c.iso, c.payload);
        EXPECT_EQ(run.result, kWorkFailed);
        EXPECT_EQ(run.view.warnings, std::vector<std::string>{std::string(LoadStringText(IDS_ISO_CREATE_FAILED))});
        EXPECT_NE(run.trace.find(c.trace), std::string::npos) << run.trace;
        EXPECT_EQ(fs::exists(c.iso), c.fileStays);
        EXPECT_FALSE(g_bIsoBusy);
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(readFileBytes(payload / "FLASH.IMG"), patternBytes(1000, 5)) << "the payload is untouched";
    EXPECT_EQ(readFileBytes(payload / "KMV.EXE"), patternBytes(90000, 4));
    EXPECT_TRUE(fs::is_directory(tmp / "dir.iso"));
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
