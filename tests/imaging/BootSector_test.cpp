#include "records/BootSector.h"

#include "records/ByteOrder.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using namespace dorvix;
using Bytes = std::vector<std::uint8_t>;

// A FAT16 parameter block at the edge of what it may hold: 4 reserved sectors, two FATs of 98
// sectors, 512 root entries (32 sectors), 100000 sectors of 4-sector clusters behind 63 hidden
// ones. That is 232 system sectors, 24942 clusters, and FAT entries for 25088.
Bytes bootSector() {
    Bytes boot(512, 0);
    store16(boot, bootsector::kBytesPerSector, 512);
    boot[bootsector::kSectorsPerCluster] = 4;
    store16(boot, bootsector::kReservedSectors, 4);
    boot[bootsector::kNumberOfFats] = 2;
    store16(boot, bootsector::kRootEntries, 512);
    store16(boot, bootsector::kTotalSectors16, 0);
    store32(boot, bootsector::kTotalSectors32, 100000);
    store16(boot, bootsector::kSectorsPerFat, 98);
    store32(boot, bootsector::kHiddenSectors, 63);
    return boot;
}

// Each limit a caller sets must bite exactly where it says, and only where it is set.
TEST(BootSectorCheck, AppliesTheCallersLimits) {
    struct Case {
        const char* name;
        std::function<void(Bytes&)> patch;
        std::function<void(BootSectorLimits&)> limit;
        BootSectorProblem expected;
    };
    const auto none = [](auto&) {};
    const std::vector<Case> cases = {
        {"valid", none, none, BootSectorProblem::None},
        {"1024-byte sectors", [](Bytes& b) { store16(b, bootsector::kBytesPerSector, 1024); }, none,
         BootSectorProblem::SectorSize},
        {"short buffer", [](Bytes& b) { b.resize(511); }, none, BootSectorProblem::NotFat16},
        {"3 sectors per cluster", [](Bytes& b) { b[bootsector::kSectorsPerCluster] = 3; }, none,
         BootSectorProblem::NotFat16},
        {"clusters above the limit", none, [](BootSectorLimits& l) { l.maxSectorsPerCluster = 2; },
         BootSectorProblem::NotFat16},
        {"three FATs", [](Bytes& b) { b[bootsector::kNumberOfFats] = 3; }, none, BootSectorProblem::None},
        {"three FATs, two allowed", [](Bytes& b) { b[bootsector::kNumberOfFats] = 3; },
         [](BootSectorLimits& l) { l.maxNumberOfFats = 2; }, BootSectorProblem::NotFat16},
        {"no root entries", [](Bytes& b) { store16(b, bootsector::kRootEntries, 0); }, none,
         BootSectorProblem::NotFat16},
        {"hidden sectors as required", none, [](BootSectorLimits& l) { l.hiddenSectors = 63; },
         BootSectorProblem::None},
        {"hidden sectors not the partition's start", none, [](BootSectorLimits& l) { l.hiddenSectors = 64; },
         BootSectorProblem::NotFat16},
        {"data area just below the limit", none, [](BootSectorLimits& l) { l.dataStartLimit = 63 + 232 + 1; },
         BootSectorProblem::None},
        {"data area at the limit", none, [](BootSectorLimits& l) { l.dataStartLimit = 63 + 232; },
         BootSectorProblem::NotFat16},
        {"no size, no partition", [](Bytes& b) { store32(b, bootsector::kTotalSectors32, 0); }, none,
         BootSectorProblem::NotFat16},
        {"no size, the partition's", [](Bytes& b) { store32(b, bootsector::kTotalSectors32, 0); },
         [](BootSectorLimits& l) { l.partitionSectors = 100000; }, BootSectorProblem::None},
        {"size past the FAT", [](Bytes& b) { store32(b, bootsector::kTotalSectors32, 200000); }, none,
         BootSectorProblem::NotFat16},
        {"size past the FAT, bounded by the partition",
         [](Bytes& b) { store32(b, bootsector::kTotalSectors32, 200000); },
         [](BootSectorLimits& l) { l.partitionSectors = 100000; }, BootSectorProblem::None},
        {"4084 clusters (FAT12)", [](Bytes& b) { store32(b, bootsector::kTotalSectors32, 232 + 4 * 4084); }, none,
         BootSectorProblem::NotFat16},
        {"4085 clusters", [](Bytes& b) { store32(b, bootsector::kTotalSectors32, 232 + 4 * 4085); }, none,
         BootSectorProblem::None},
        {"16-bit size field first", [](Bytes& b) { store16(b, bootsector::kTotalSectors16, 232 + 4 * 4084); },
         none, BootSectorProblem::NotFat16},
        {"a FAT one sector short", [](Bytes& b) { store16(b, bootsector::kSectorsPerFat, 97); }, none,
         BootSectorProblem::NotFat16},
    };
    for (const Case& c : cases) {
        Bytes boot = bootSector();
        c.patch(boot);
        BootSectorLimits limits;
        c.limit(limits);
        EXPECT_EQ(checkBootSector(boot, limits), c.expected) << c.name;
    }
}

}  // namespace
