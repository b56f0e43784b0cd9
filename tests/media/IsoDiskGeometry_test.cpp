// Cylinder count of the emulated disk: the plain whole-MiB count, the spare cylinder that keeps
// the data out of the cylinder the BIOS does not report, and the added cylinders that make small
// and nearly full payloads buildable.

#include "iso/IsoDiskGeometry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using pellorin::IsoDiskCylinders;
using pellorin::PayloadCylinders;
using pellorin::PayloadFitsDisk;

constexpr std::uint32_t MiB = 1048576;

TEST(PayloadCylinders, RoundsTheSumUpToWholeMebibytes) {
    const struct {
        std::uint64_t bytes;
        std::uint32_t cylinders;
    } cases[] = {
        {0, 0},
        {1, 1},
        {1048576, 1},
        {1048577, 2},
        {10000000, 10},
        {10485760, 10},
        {0xFFFFFFFFull, 4096},        // no 32-bit wrap-around to a tiny disk
        {6ull * 0xFFFFFFFFull, 24576},  // six files of the largest 32-bit size
    };
    for (const auto& c : cases) EXPECT_EQ(PayloadCylinders(c.bytes), c.cylinders) << c.bytes;
}

TEST(IsoDiskCylinders, AddsASpareCylinderAndRoomWhereThePlainDiskIsTooSmallOrTooFull) {
    const struct {
        const char* name;
        std::vector<std::uint64_t> sizes;
        std::uint32_t cylinders;
    } cases[] = {
        {"10,000,000 bytes: 10 cylinders and the spare", {10000000}, 11},
        {"a typical payload: its count and the spare", {45000, 60000, 200, 900000, 400000, 25000000}, 27},
        {"a payload near the end of its last MiB", {45000, 60000, 200, 900000, 400000, 30000000}, 32},
        {"1 MiB grows past 8,400 sectors", {MiB}, 5},
        {"1 MiB and a byte", {MiB + 1}, 5},
        {"a few KiB", {40000, 3000, 100}, 5},
        {"no payload at all", {}, 5},
        {"exactly 4 MiB and the FATs fill four cylinders", {4 * MiB}, 6},
        {"exactly 5 MiB needs room for its FATs", {5 * MiB}, 7},
        {"exactly 10 MiB", {10 * MiB}, 12},
        {"exactly 10 MiB in six files", {4 * MiB, 2 * MiB, MiB, MiB, MiB, MiB}, 12},
        {"100 MiB exactly", {100 * MiB}, 102},
        // Around the 1024 cylinders a CD's emulated disk can have, the spare one included.
        {"1021 MiB stay within 1024 cylinders", {1021ull * MiB}, 1023},
        {"1022 MiB take all 1024", {1022ull * MiB}, 1024},
        {"1023 MiB go beyond", {1023ull * MiB}, 1025},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t sum = 0;
        for (auto s : c.sizes) sum += s;
        const std::uint32_t cylinders = IsoDiskCylinders(sum, c.sizes);
        EXPECT_EQ(cylinders, c.cylinders);
        EXPECT_TRUE(PayloadFitsDisk(cylinders, c.sizes));
        if (cylinders > PayloadCylinders(sum)) {
            EXPECT_FALSE(PayloadFitsDisk(cylinders - 1, c.sizes)) << "no more cylinders than needed";
        }
    }
}

TEST(IsoDiskCylinders, PayloadBeyondFat16KeepsThePlainCountForTheWriterToRefuse) {
    const std::vector<std::uint64_t> sizes{3u * 1024u * MiB};
    EXPECT_EQ(IsoDiskCylinders(sizes[0], sizes), 3072u);
    EXPECT_FALSE(PayloadFitsDisk(3072, sizes));
}

TEST(PayloadFitsDisk, LimitsOfTheDiskAndOfItsDataRegion) {
    const struct {
        const char* name;
        std::uint32_t cylinders;
        std::vector<std::uint64_t> sizes;
        bool fits;
    } cases[] = {
        {"4 cylinders are 8,192 sectors: too small", 4, {}, false},
        {"5 cylinders are 10,240 sectors", 5, {}, true},
        {"2,048 cylinders are the largest disk", 2048, {}, true},
        {"2,049 cylinders are too large", 2049, {}, false},
        // 5 cylinders: 2-sector clusters from sector 112 on; the data must end by sector 8,192,
        // where the spare cylinder begins, so 4,040 of the region's 5,064 clusters are usable.
        {"4,040 one-cluster files fit", 5, std::vector<std::uint64_t>(4040, 1), true},
        {"4,041 one-cluster files do not", 5, std::vector<std::uint64_t>(4041, 1), false},
        {"empty files still take a cluster", 5, std::vector<std::uint64_t>(4041, 0), false},
        {"4,040 clusters of data fit", 5, {4040 * 1024}, true},
        {"a byte more does not", 5, {4040 * 1024 + 1}, false},
        {"one cylinder is all spare", 1, {}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(PayloadFitsDisk(c.cylinders, c.sizes), c.fits) << c.name;
}

}  // namespace
