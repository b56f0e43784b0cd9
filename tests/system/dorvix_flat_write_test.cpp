// The built dorvix writing flat images ("-writeflat", and flat images handed over by the
// default restore) onto image-file disks named in the device table.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

namespace {

using namespace restoretest;
using testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

// Target disks of 16 heads x 63 sectors: whole cylinders of 1008 sectors.
constexpr std::uint32_t kCylinder = 1008;
constexpr std::uint8_t kOld = 0x5A;

Bytes withHeader(const Bytes& body, const std::string& bios = "KQ3A3,KQ3A0") {
    Bytes image = imageHeader(2, static_cast<std::uint32_t>(body.size() / 512), bios);
    image.insert(image.end(), body.begin(), body.end());
    return image;
}

struct FlatCase {
    const char* name;
    Bytes image;
    std::string args;
    std::uint32_t targetSectors;
    std::string device;    // extra device-table settings
    int exitCode;
    std::string message;   // expected in the output
    Bytes expectWritten;   // bytes expected from sector 0 on; empty: disk untouched
};

TEST(FlatWrite, WritesOrRefusesAsTheImageAndDiskAllow) {
    TempDir dir;
    const Bytes body = testsupport::patternBytes(3 * kCylinder * 512, 11);
    const Bytes oneMore = testsupport::patternBytes((3 * kCylinder + 1) * 512, 12);
    Bytes truncated = withHeader(body);
    truncated.erase(truncated.end() - 512, truncated.end());
    Bytes badSum = withHeader(body);
    badSum[200] ^= 0x40;
    Bytes oddLength = body;
    oddLength.push_back(1);
    Bytes headerOnly = imageHeader(2, 0, "KQ3A3");
    const std::string geometry = " heads=16 sectors=63";
    const std::string plain = "-y -nor -writeflat FLASH.IMG";

    const FlatCase cases[] = {
        {"header and body", withHeader(body), plain, 4 * kCylinder, geometry, 0,
         "Operation completed successfully in", body},
        {"plain dump without header", body, plain, 3 * kCylinder, geometry, 0,
         "WARNING: Header signature not present, assuming NOHEADER!", body},
        {"flat image handed over by the default restore", withHeader(body), "-y -nor FLASH.IMG",
         3 * kCylinder, geometry, 0, "Performing FLATCOPY to target device...", body},
        {"flat image too large, handed over by the default restore", withHeader(oneMore), "-y -nor FLASH.IMG",
         3 * kCylinder, geometry, 4, "***ERROR*** The target disk is too small!\n", {}},
        {"header without body", headerOnly, plain, kCylinder, geometry, 0, "Operation completed successfully in 0 seconds!", {}},
        {"one sector more than the disk holds", oneMore, plain, 3 * kCylinder, geometry, 4,
         "***ERROR*** The target disk is too small!\n", {}},
        // A capture holds the sectors of a partition that runs past the last whole cylinder.
        {"past the whole cylinders, within the disk", withHeader(oneMore), plain, 3 * kCylinder + 500, geometry, 0,
         "Operation completed successfully in", oneMore},
        {"length of 512 x k + 1", oddLength, plain, 4 * kCylinder, geometry, 4,
         "***ERROR*** Flat file length does not match sector size!\n", {}},
        {"truncated after its header was written", truncated, plain, 4 * kCylinder, geometry, 4,
         "it is truncated or damaged", {}},
        {"header checksum wrong", badSum, plain, 4 * kCylinder, geometry, 4, "***ERROR*** Invalid image file!\n", {}},
        {"disk with 4096-byte sectors", withHeader(body), plain, 4 * kCylinder, geometry + " bytes=4096", 4,
         "only 512-byte sectors can be imaged", {}},
        {"disk not in the table", withHeader(body), "-y -nor -writeflat -td:2 FLASH.IMG", 4 * kCylinder,
         geometry, 3, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::writeFileBytes(dir / "FLASH.IMG", c.image);
        const fs::path target = dir / "target.disk";
        testsupport::writeFileBytes(target, Bytes(std::size_t{c.targetSectors} * 512, kOld));
        const fs::path table = writeDeviceTable(dir.path(), {{1, target.string() + c.device}});
        auto run = runDorvix(table, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        Bytes after = testsupport::readFileBytes(target);
        ASSERT_EQ(after.size(), std::size_t{c.targetSectors} * 512);
        EXPECT_TRUE(std::equal(c.expectWritten.begin(), c.expectWritten.end(), after.begin()));
        EXPECT_TRUE(std::all_of(after.begin() + static_cast<std::ptrdiff_t>(c.expectWritten.size()), after.end(),
                                [](std::uint8_t b) { return b == kOld; }));
    }
}

// Console progress overwrites one line and ends at 100 %; it is shown only when it grows.
TEST(FlatWrite, ConsoleProgressCountsUpToOneHundred) {
    TempDir dir;
    testsupport::writeFileBytes(dir / "FLASH.IMG", withHeader(testsupport::patternBytes(300 * 512, 3)));
    const fs::path target = dir / "target.disk";
    testsupport::writeFileBytes(target, Bytes(kCylinder * 512, 0));
    const fs::path table = writeDeviceTable(dir.path(), {{1, target.string() + " heads=16 sectors=63"}});
    auto run = runDorvix(table, "-y -nor -writeflat FLASH.IMG");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // 300 sectors in transfers of 32: ten steps, each a larger percentage.
    std::vector<int> shown;
    for (std::size_t at = run.output.find("\r"); at != std::string::npos; at = run.output.find("\r", at + 1)) {
        int percent = 0;
        if (std::sscanf(run.output.c_str() + at, "\r%d%% completed.", &percent) == 1) shown.push_back(percent);
    }
    const std::vector<int> expect = {10, 21, 32, 42, 53, 64, 74, 85, 96, 100};
    EXPECT_EQ(shown, expect) << run.output;
}

}  // namespace
