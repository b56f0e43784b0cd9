#include "disk/ImageHeader.h"

#include "DorvixTestSupport.h"
#include "TestSupport.h"
#include "platform/ImageFile.h"
#include "records/ByteOrder.h"

#include <gtest/gtest.h>

#include <functional>

using dorvix::HeaderCheck;
using dorvix::KmvImageHeader;
namespace kh = dorvix::kmvheader;

namespace {

// A header as a capture writes it: FAT-aware kind, a target list, geometry, sealed.
std::vector<std::uint8_t> capturedHeader() {
    KmvImageHeader header = dorvix::newImageHeader();
    dorvix::store16(header.bytes, kh::kBytesPerSector, 512);
    dorvix::store16(header.bytes, kh::kSectorsPerTrack, 63);
    dorvix::store16(header.bytes, kh::kHeads, 255);
    dorvix::store32(header.bytes, kh::kCylinders, 14);
    dorvix::store32(header.bytes, kh::kBodySectors, 4096);
    header.bytes[kh::kReserved170] = 4;
    EXPECT_TRUE(dorvix::setHeaderTargetBios(header, "KQ7B2,KQ3A1,KQ3A0"));
    header.bytes[kh::kImageKind] = kh::kKindFat;
    dorvix::sealImageHeader(header);
    return {header.bytes.begin(), header.bytes.end()};
}

struct HeaderCase {
    const char* name;
    std::function<std::vector<std::uint8_t>()> fileBytes;
    HeaderCheck expected;
    const char* console;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class ValidateImageHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ValidateImageHeader, ClassifiesTheFileAndSaysSo) {
    const HeaderCase& c = GetParam();
    testsupport::TempDir dir;
    const auto path = dir / "image.kmv";
    testsupport::writeFileBytes(path, c.fileBytes());
    dorvix::ImageFile file;
    ASSERT_TRUE(file.openForReading(path));
    dorvixtest::ConsoleCapture console;
    KmvImageHeader header;
    EXPECT_EQ(dorvix::validateImageHeader(nullptr, file, header), c.expected);
    EXPECT_EQ(console.output(), c.console);
}

std::vector<std::uint8_t> withBody(std::vector<std::uint8_t> header) {
    const auto body = testsupport::patternBytes(2048, 3);
    header.insert(header.end(), body.begin(), body.end());
    return header;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ValidateImageHeader,
    ::testing::Values(
        HeaderCase{"Valid", [] { return withBody(capturedHeader()); }, HeaderCheck::Valid,
                   "Validating the image header..."},
        HeaderCase{"ByteChangedAfterSealing",
                   [] {
                       auto bytes = withBody(capturedHeader());
                       bytes[kh::kTargetBios] = 'X';
                       return bytes;
                   },
                   HeaderCheck::Invalid, "Validating the image header...***ERROR*** Invalid image file!\n"},
        HeaderCase{"WrongHeaderSizeResealed",
                   [] {
                       auto bytes = capturedHeader();
                       KmvImageHeader h;
                       std::copy(bytes.begin(), bytes.end(), h.bytes.begin());
                       dorvix::store16(h.bytes, kh::kHeaderSize, 1024);
                       dorvix::sealImageHeader(h);
                       return withBody({h.bytes.begin(), h.bytes.end()});
                   },
                   HeaderCheck::Invalid, "Validating the image header...***ERROR*** Invalid image file!\n"},
        HeaderCase{"RawDiskDumpWithoutSignature",
                   [] {
                       auto bytes = withBody(dorvixtest::partitionedSector0(63));
                       return bytes;
                   },
                   HeaderCheck::NoHeader, "WARNING: Header signature not present, assuming NOHEADER!"},
        HeaderCase{"SignatureOneCharacterOff",
                   [] {
                       auto bytes = withBody(capturedHeader());
                       bytes[kh::kSignature + 11] = 'T';
                       return bytes;
                   },
                   HeaderCheck::NoHeader, "WARNING: Header signature not present, assuming NOHEADER!"},
        HeaderCase{"ShortFile",
                   [] {
                       auto bytes = capturedHeader();
                       bytes.resize(511);
                       return bytes;
                   },
                   HeaderCheck::ReadFailure, "***ERROR*** read failed while testing for header!\n"},
        HeaderCase{"EmptyFile", [] { return std::vector<std::uint8_t>(); }, HeaderCheck::ReadFailure,
                   "***ERROR*** read failed while testing for header!\n"}),
    [](const ::testing::TestParamInfo<HeaderCase>& param) { return std::string(param.param.name); });

TEST(ValidateImageHeaderReturnsBytes, NoHeaderKeepsTheFirstSectorForTheCaller) {
    testsupport::TempDir dir;
    const auto path = dir / "raw.img";
    const auto sector0 = dorvixtest::partitionedSector0(63);
    testsupport::writeFileBytes(path, sector0);
    dorvix::ImageFile file;
    ASSERT_TRUE(file.openForReading(path));
    dorvixtest::ConsoleCapture console;
    KmvImageHeader header;
    ASSERT_EQ(dorvix::validateImageHeader(nullptr, file, header), HeaderCheck::NoHeader);
    EXPECT_TRUE(std::equal(sector0.begin(), sector0.end(), header.bytes.begin()));
}

TEST(SealImageHeader, MakesTheByteSumZeroWhateverTheOldChecksum) {
    for (std::uint8_t stale : {0x00, 0x01, 0x7F, 0xFF}) {
        KmvImageHeader header = dorvix::newImageHeader();
        dorvix::setHeaderTargetBios(header, "KQ3A3,KQ3A0");
        header.bytes[kh::kChecksum] = stale;
        dorvix::sealImageHeader(header);
        EXPECT_EQ(dorvix::headerByteSum(header.bytes), 0) << int(stale);
    }
}

TEST(NewImageHeader, CarriesSizeSignatureAndReservedConstants) {
    const KmvImageHeader header = dorvix::newImageHeader();
    EXPECT_EQ(dorvix::load16(header.bytes, 0), 512);
    EXPECT_EQ(std::string(header.bytes.begin() + 2, header.bytes.begin() + 14), "!QZ_WRX_STAR");
    EXPECT_EQ(header.bytes[40], 2);
    EXPECT_EQ(header.bytes[41], 0x34);
    EXPECT_EQ(header.bytes[14], 0);
    EXPECT_EQ(header.bytes[511], 0);
}

TEST(HeaderTargetBios, FitsAtMost255CharactersWithItsTerminator) {
    KmvImageHeader header = dorvix::newImageHeader();
    EXPECT_TRUE(dorvix::setHeaderTargetBios(header, std::string(255, 'K')));
    EXPECT_EQ(dorvix::headerTargetBios(header), std::string(255, 'K'));
    EXPECT_EQ(header.bytes[kh::kTargetBios + 255], 0);
    EXPECT_FALSE(dorvix::setHeaderTargetBios(header, std::string(256, 'K')));
    EXPECT_EQ(dorvix::headerTargetBios(header), std::string(255, 'K'));  // unchanged
    EXPECT_TRUE(dorvix::setHeaderTargetBios(header, "KQ3A3"));
    EXPECT_EQ(dorvix::headerTargetBios(header), "KQ3A3");
    // A field without terminator (from a foreign writer) is read only up to its end.
    std::fill_n(header.bytes.begin() + kh::kTargetBios, 256, 'Z');
    EXPECT_EQ(dorvix::headerTargetBios(header), std::string(256, 'Z'));
}

}  // namespace
