// The image body's fixed parts: the MBR template and the layout computed from a boot sector.

#include "platform/ImageFile.h"
#include "fat/ImageBody.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "TestSupport.h"
#include "records/ByteOrder.h"

namespace dorvix {
namespace {

TEST(MbrTemplate, PartitionEntryAndSignatureAsTheFormatGivesThem) {
    const auto mbrBytes = mbrTemplate();
    ASSERT_EQ(mbrBytes.size(), 512u);
    const std::uint8_t entry[16] = {0x80, 1, 1, 0, 0x0E, 3, 0xE0, 0xD0, 32, 0, 0, 0, 0x60, 0xE8, 0x01, 0x00};
    EXPECT_TRUE(std::equal(std::begin(entry), std::end(entry), mbrBytes.begin() + 446));
    EXPECT_EQ(load32(mbrBytes, mbr::kSectorCount), kImageTemplateSectors);
    EXPECT_TRUE(std::all_of(mbrBytes.begin() + 462, mbrBytes.begin() + 510, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(mbrBytes[510], 0x55);
    EXPECT_EQ(mbrBytes[511], 0xAA);
    const std::string code(mbrBytes.begin(), mbrBytes.begin() + 446);
    for (const char* message : {"Invalid partition table", "Error loading operating system", "Missing operating system"}) {
        EXPECT_NE(code.find(message), std::string::npos) << message;
    }
}

TEST(ImageFileDisk, TransfersSitBehindTheHeaderAndNeverRunShort) {
    testsupport::TempDir dir;
    const auto bytes = testsupport::patternBytes(4 * 512, 7);
    testsupport::writeFileBytes(dir / "image", bytes);
    ImageFile file;
    ASSERT_TRUE(file.open(dir / "image"));
    ImageFileDisk disk(file, 1);  // the header sector
    FatVolume volume;
    volume.bytesPerSector = 512;
    volume.disk = &disk;

    std::vector<std::uint8_t> buffer(1024, 0xEE);
    ASSERT_EQ(readVolumeSectors(volume, 1, 2, buffer), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 2 * 512));

    // A buffer that cannot hold the whole transfer fails instead of moving part of it, on the
    // volume's side and on the disk's; so does a read past the file's end.
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_LT(readVolumeSectors(volume, 0, 3, buffer), 0);
    EXPECT_LT(writeVolumeSectors(volume, 0, 3, buffer), 0);
    EXPECT_NE(disk.read(0, 3, buffer), 0u);
    EXPECT_NE(disk.write(0, 3, buffer), 0u);
    EXPECT_NE(disk.read(2, 2, buffer), 0u);
    EXPECT_EQ(testsupport::readFileBytes(dir / "image"), bytes);
    volume.disk = nullptr;
    EXPECT_LT(readVolumeSectors(volume, 0, 1, buffer), 0);
}

TEST(ImageBodyLayout, SectorsFollowTheStoredBootSector) {
    std::vector<std::uint8_t> boot(512, 0);
    store16(boot, bootsector::kBytesPerSector, 512);
    boot[bootsector::kSectorsPerCluster] = 8;
    store16(boot, bootsector::kReservedSectors, 4);
    boot[bootsector::kNumberOfFats] = 2;
    store16(boot, bootsector::kRootEntries, 512);
    store16(boot, bootsector::kSectorsPerFat, 61);
    store32(boot, bootsector::kHiddenSectors, 63);
    const ImageBodyLayout layout = imageBodyLayout(mbrTemplate(), boot);
    EXPECT_EQ(layout.bootSector, 32u);
    EXPECT_EQ(layout.fatSector, 67u);
    EXPECT_EQ(layout.rootSector, 67u + 122u);
    EXPECT_EQ(layout.rootSectors, 32u);
    EXPECT_EQ(layout.dataSector, 67u + 122u + 32u);
    EXPECT_EQ(imageClusterSector(layout, 2), layout.dataSector);
    EXPECT_EQ(imageClusterSector(layout, 5), layout.dataSector + 24u);
    EXPECT_EQ(imageSectorOffset(0), 512u);
    EXPECT_EQ(imageSectorOffset(32), 512u + 32u * 512u);
}

TEST(ImageBodyLayout, SourcesWhoseFatMeetsTheBootSectorPlaceAreNotCarried) {
    FatVolume v;
    v.bytesPerSector = 512;
    v.sectorsPerCluster = 4;
    for (const auto& [fatStart, carried] : {std::pair{32, false}, std::pair{33, true}, std::pair{1, false}}) {
        v.fatStart = static_cast<std::uint16_t>(fatStart);
        EXPECT_EQ(imageBodyCanCarry(v), carried) << fatStart;
    }
}

}  // namespace
}  // namespace dorvix
