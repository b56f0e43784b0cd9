// Fuzz target: the FAT-aware restore's planning, which decides from the image alone whether
// the disk may be written. The input's first 8 bytes give the target disk (32-bit sector
// count, heads, sectors per track, flags); the rest is the image file. Nothing is written
// anywhere but into the plan.

#include <cstddef>
#include <cstdint>
#include <span>

#include "PlanChecks.h"

using namespace dorvix;

namespace {
constexpr std::size_t kPrefixBytes = 8;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kPrefixBytes) {
        return -1;
    }
    const std::span<const std::uint8_t> prefix(data, kPrefixBytes);
    const std::uint32_t heads = 1 + prefix[4] % 255;
    const std::uint32_t sectorsPerTrack = 1 + prefix[5] % 63;
    const std::uint32_t diskSectors = load32(prefix, 0);
    const bool mbrCodeGiven = (prefix[6] & 1) != 0;

    // The restore refuses a file of partial sectors outright; the fuzzer's lengths are rounded
    // down instead so that its mutations keep reaching the planning.
    const std::size_t length = (size - kPrefixBytes) / 512 * 512;
    if (length == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> image(data + kPrefixBytes, length);
    fuzz::planRestore(image, {diskSectors / (heads * sectorsPerTrack), heads, sectorsPerTrack, 512}, mbrCodeGiven);
    return 0;
}
