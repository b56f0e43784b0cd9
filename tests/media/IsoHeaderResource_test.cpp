// The embedded ISO header: each numeric field in the byte order ECMA-119 and El Torito demand,
// the texts, and the validation entry's checksum for our identification text.

#include "isohdr/IsoHeaderResource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using pellorin::IsoHeaderTemplate;

enum class Order { Little, Big, Both };

struct NumericField {
    const char* name;
    std::size_t offset;  // absolute in the header
    unsigned width;      // bytes of one copy
    Order order;
    std::uint32_t value;
};

std::uint32_t readLE(std::span<const std::uint8_t> b, std::size_t at, unsigned width) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
}
std::uint32_t readBE(std::span<const std::uint8_t> b, std::size_t at, unsigned width) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | b[at + i];
    return v;
}
std::string text(std::span<const std::uint8_t> b, std::size_t at, std::size_t width) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + width));
}

constexpr std::size_t kPvd = 0x8000, kBoot = 0x8800, kTerm = 0x9000, kCatalog = 0x9800,
                      kRoot = 0xA000, kPathL = 0xA800, kPathM = 0xB000;

TEST(IsoHeaderTemplate, IsTwentyThreeBlocksWithAnEmptySystemArea) {
    const auto h = IsoHeaderTemplate();
    ASSERT_EQ(h.size(), pellorin::kIsoHeaderSize);
    ASSERT_EQ(h.size(), 23u * 2048u);
    for (std::size_t i = 0; i < kPvd; ++i) ASSERT_EQ(h[i], 0) << "system area byte " << i;
}

TEST(IsoHeaderTemplate, NumericFieldsHoldTheirValuesInTheirByteOrders) {
    const NumericField fields[] = {
        {"volume space size", kPvd + 80, 4, Order::Both, 128690},
        {"volume set size", kPvd + 120, 2, Order::Both, 1},
        {"volume sequence number", kPvd + 124, 2, Order::Both, 1},
        {"logical block size", kPvd + 128, 2, Order::Both, 2048},
        {"path table size", kPvd + 132, 4, Order::Both, 10},
        {"type L path table", kPvd + 140, 4, Order::Little, 21},
        {"optional type L path table", kPvd + 144, 4, Order::Little, 0},
        {"type M path table", kPvd + 148, 4, Order::Big, 22},
        {"optional type M path table", kPvd + 152, 4, Order::Big, 0},
        {"root record extent", kPvd + 156 + 2, 4, Order::Both, 20},
        {"root record length", kPvd + 156 + 10, 4, Order::Both, 2048},
        {"root record sequence", kPvd + 156 + 28, 2, Order::Both, 1},
        {"boot catalog pointer", kBoot + 71, 4, Order::Little, 19},
        {"load segment", kCatalog + 34, 2, Order::Little, 0x07C0},
        {"sector count", kCatalog + 38, 2, Order::Little, 1},
        {"load block", kCatalog + 40, 4, Order::Little, 23},
        {"'.' extent", kRoot + 2, 4, Order::Both, 20},
        {"'.' length", kRoot + 10, 4, Order::Both, 2048},
        {"'..' extent", kRoot + 34 + 2, 4, Order::Both, 20},
        {"'..' length", kRoot + 34 + 10, 4, Order::Both, 2048},
        {"'..' sequence", kRoot + 34 + 28, 2, Order::Both, 1},
        {"path table L extent", kPathL + 2, 4, Order::Little, 20},
        {"path table L parent", kPathL + 6, 2, Order::Little, 1},
        {"path table M extent", kPathM + 2, 4, Order::Big, 20},
        {"path table M parent", kPathM + 6, 2, Order::Big, 1},
    };
    const auto h = IsoHeaderTemplate();
    for (const auto& f : fields) {
        SCOPED_TRACE(f.name);
        switch (f.order) {
        case Order::Little: EXPECT_EQ(readLE(h, f.offset, f.width), f.value); break;
        case Order::Big: EXPECT_EQ(readBE(h, f.offset, f.width), f.value); break;
        case Order::Both:
            EXPECT_EQ(readLE(h, f.offset, f.width), f.value);
            EXPECT_EQ(readBE(h, f.offset + f.width, f.width), f.value);
            break;
        }
    }
}

TEST(IsoHeaderTemplate, DescriptorsAndBytesOfTheBootEntry) {
    const auto h = IsoHeaderTemplate();
    struct ByteField {
        const char* name;
        std::size_t offset;
        std::uint8_t value;
    } const bytes[] = {
        {"primary type", kPvd, 1},          {"primary version", kPvd + 6, 1},
        {"file structure version", kPvd + 881, 1},
        {"root record size", kPvd + 156, 34}, {"root flags", kPvd + 156 + 25, 2},
        {"root year", kPvd + 156 + 18, 103}, {"root month", kPvd + 156 + 19, 3},
        {"root day", kPvd + 156 + 20, 27},   {"root hour", kPvd + 156 + 21, 14},
        {"root offset", kPvd + 156 + 24, 0xE8},
        {"creation offset", kPvd + 813 + 16, 0xE8}, {"expiration offset", kPvd + 847 + 16, 0},
        {"boot record type", kBoot, 0},     {"terminator type", kTerm, 255},
        {"header id", kCatalog, 1},         {"platform", kCatalog + 1, 0},
        {"key 55", kCatalog + 30, 0x55},    {"key AA", kCatalog + 31, 0xAA},
        {"bootable", kCatalog + 32, 0x88},  {"hard-disk emulation", kCatalog + 33, 4},
        {"system type", kCatalog + 36, 6},
        {"'.' name", kRoot + 33, 0},        {"'..' name", kRoot + 34 + 33, 1},
        {"'.' flags", kRoot + 25, 2},       {"'.' date offset", kRoot + 18 + 6, 0xE8},
        {"'.' year", kRoot + 18, 0},        {"after '..'", kRoot + 68, 0},
        {"path L name length", kPathL, 1},  {"path M name length", kPathM, 1},
    };
    for (const auto& b : bytes) EXPECT_EQ(h[b.offset], b.value) << b.name;

    for (std::size_t d : {kPvd, kBoot, kTerm}) EXPECT_EQ(text(h, d + 1, 5), "CD001");
    EXPECT_EQ(text(h, kPvd + 40, 32), "RESTORE" + std::string(25, ' '));
    EXPECT_EQ(text(h, kPvd + 8, 32), std::string(32, ' '));
    EXPECT_EQ(text(h, kPvd + 813, 16), "2003032714000000");
    EXPECT_EQ(text(h, kPvd + 830, 16), "2003032714000000");
    EXPECT_EQ(text(h, kPvd + 847, 16), "0000000000000000");
    EXPECT_EQ(text(h, kPvd + 864, 16), "0000000000000000");
    EXPECT_EQ(text(h, kBoot + 7, 32), std::string("EL TORITO SPECIFICATION") + std::string(9, '\0'));
    EXPECT_NE(h[kPvd + 318], ' ') << "publisher identifier is set";
    EXPECT_NE(h[kPvd + 574], ' ') << "application identifier is set";
}

TEST(IsoHeaderTemplate, ValidationEntryWordsSumToZero) {
    const auto h = IsoHeaderTemplate();
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < 32; i += 2) sum = static_cast<std::uint16_t>(sum + readLE(h, kCatalog + i, 2));
    EXPECT_EQ(sum, 0);
    EXPECT_NE(h[kCatalog + 4], 0) << "identification text is set";
}

}  // namespace
