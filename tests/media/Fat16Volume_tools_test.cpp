// Disks written by CFat16Disk::Format into image files, checked by tools nobody here wrote:
// fsck.fat on the partition, mdir/mcopy/mattrib for names, sizes, attributes and contents.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fat16TestSupport.h"
#include "TestSupport.h"

namespace pellorin {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

struct Payload {
    std::string name;  // name of the source file
    std::size_t size;
    std::string shortName;  // name expected on the disk (mtools prints it in lower case)
};

struct DiskCase {
    const char* label;
    DWORD sectorsPerTrack;
    DWORD heads;
    DWORD cylinders;
    std::uint64_t imageBytes;
    DWORD expectedSectorsPerCluster;
    bool expectCapped;
};

void PrintTo(const DiskCase& disk, std::ostream* os) {
    *os << disk.label;
}

class Fat16VolumeToolsTest : public ::testing::TestWithParam<DiskCase> {
protected:
    void SetUp() override {
        for (const char* tool : {"fsck.fat", "mdir", "mcopy", "mattrib"}) {
            if (!testsupport::haveProgram(tool)) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
    }
    testsupport::TempDir dir;
};

std::string RunTool(const std::string& command) {
    const auto result = testsupport::runCommand("MTOOLS_SKIP_CHECK=1 " + command);
    EXPECT_EQ(result.exitCode, 0) << command << "\n" << result.output;
    return result.output;
}

TEST_P(Fat16VolumeToolsTest, ToolsReadBackEveryFile) {
    const DiskCase& disk = GetParam();
    const std::vector<Payload> payloads = {
        {"KERNEL.SYS", 45000, "KERNEL.SYS"},
        {"command.com", 66945, "COMMAND.COM"},
        {"AUTOEXEC.BAT", 0, "AUTOEXEC.BAT"},
        {"FLASH.IMG", 3 * 1024 * 1024 + 17, "FLASH.IMG"},
        {"RECOVERY.PDF", 2048, "RECOVERY.PDF"},
        {"long file name.text", 1000, "LONGFI~1.TEX"},
        // Same name as an earlier file, from another folder: it must not share its entry name.
        {"other/KERNEL.SYS", 700, "KERNEL~1.SYS"},
    };
    const fs::path source = dir / "payload";
    fs::create_directories(source / "other");
    std::vector<fs::path> files;
    std::uint32_t seed = 1;
    for (const Payload& payload : payloads) {
        files.push_back(source / payload.name);
        testsupport::writeFileBytes(files.back(), testsupport::patternBytes(payload.size, seed++));
    }
    // Each file gets its own last write time, so an entry that took another file's time or a
    // shifted one shows up in the listing.
    std::vector<std::string> stamps;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::time_t when = 1234567890 + static_cast<std::time_t>(i) * (86400 * 33 + 3600 * 5 + 60 * 7);
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, files[i].c_str(), times, 0), 0);
        std::tm utc{};
        ::gmtime_r(&when, &utc);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %3d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                      utc.tm_mday, utc.tm_hour, utc.tm_min);
        stamps.emplace_back(stamp);
    }
    fs::permissions(files[4], fs::perms::owner_write, fs::perm_options::remove);

    const fs::path image = dir / "disk.img";
    MakeSparseImage(image, disk.imageBytes);
    const FormatRun run =
        FormatImage(image, disk.sectorsPerTrack, disk.heads, disk.cylinders, files);
    fs::permissions(files[4], fs::perms::owner_write, fs::perm_options::add);
    ASSERT_EQ(run.result, TRUE) << run.trace;
    EXPECT_EQ(run.layout.P, disk.expectedSectorsPerCluster);
    EXPECT_EQ(run.layout.capped, disk.expectCapped);
    EXPECT_EQ(run.trace.find("is larger than FAT16 serves; the partition covers") != std::string::npos,
              disk.expectCapped)
        << run.trace;
    EXPECT_EQ(fs::file_size(image), disk.imageBytes) << "wrote past the disk";

    const fs::path partition = dir / "partition.img";
    ExtractPartitionMetadata(image, run.layout, partition);
    const auto fsck = testsupport::runCommand("fsck.fat -n " + testsupport::shellQuote(partition.string()));
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;

    const std::string volume = MtoolsImage(image, std::uint64_t{run.layout.S} * 512);
    const std::string listing = RunTool("mdir -a -i " + volume + " ::");
    EXPECT_NE(listing.find("Volume in drive : is USBDISK"), std::string::npos) << listing;
    EXPECT_NE(listing.find(std::to_string(payloads.size()) + " files"), std::string::npos) << listing;
    const std::string attributes = RunTool("mattrib -i " + volume + " ::/*");
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        const Payload& payload = payloads[i];
        SCOPED_TRACE(payload.shortName);
        // mdir lists "NAME     EXT   size date  time" with the entry's last write date and time,
        // which the writer takes from the file in UTC.
        const auto dot = payload.shortName.find('.');
        std::string listed = payload.shortName.substr(0, dot);
        listed.resize(9, ' ');
        listed += payload.shortName.substr(dot + 1);
        const auto row = listing.find(listed);
        ASSERT_NE(row, std::string::npos) << listing;
        const std::string rowText = listing.substr(row, listing.find('\n', row) - row);
        EXPECT_NE(rowText.find(" " + stamps[i]), std::string::npos) << rowText << " / " << stamps[i];
        const fs::path copy = dir / ("copy" + std::to_string(i));
        RunTool("mcopy -n -i " + volume + " ::/" + testsupport::shellQuote(payload.shortName) + " " +
            testsupport::shellQuote(copy.string()));
        EXPECT_EQ(testsupport::readFileBytes(copy), testsupport::readFileBytes(files[i]));
        const auto line = attributes.find(payload.shortName);
        ASSERT_NE(line, std::string::npos) << attributes;
        const std::string flags = attributes.substr(attributes.rfind('\n', line) + 1,
                                                    line - attributes.rfind('\n', line) - 1);
        EXPECT_NE(flags.find('A'), std::string::npos) << flags;
        EXPECT_EQ(flags.find('R') != std::string::npos, i == 4) << flags;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Disks, Fat16VolumeToolsTest,
    ::testing::Values(
        // 16 MiB image disk of the ISO builder's geometry.
        DiskCase{.label = "16MiB", .sectorsPerTrack = 32, .heads = 64, .cylinders = 16,
                 .imageBytes = 16ull << 20, .expectedSectorsPerCluster = 4, .expectCapped = false},
        // 1 GiB stick (255 heads, 63 sectors), sparse.
        DiskCase{.label = "1GiB", .sectorsPerTrack = 63, .heads = 255, .cylinders = 130,
                 .imageBytes = 130ull * 255 * 63 * 512, .expectedSectorsPerCluster = 32,
                 .expectCapped = false},
        // 8 GiB stick: beyond what FAT16 serves, the partition covers its first part.
        DiskCase{.label = "8GiB", .sectorsPerTrack = 63, .heads = 255, .cylinders = 1044,
                 .imageBytes = 1044ull * 255 * 63 * 512, .expectedSectorsPerCluster = 64,
                 .expectCapped = true}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

}  // namespace
}  // namespace pellorin
