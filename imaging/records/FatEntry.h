#pragma once
// Values of a 16-bit FAT entry, and the cluster counts that make a volume FAT16.

#include <cstdint>

namespace dorvix {

inline constexpr std::uint16_t kFreeCluster = 0x0000;
inline constexpr std::uint16_t kEndOfChainMin = 0xFFF8;  // this value and above end a chain
inline constexpr std::uint16_t kEndOfChain = 0xFFFF;     // written at the end of built chains
inline constexpr std::uint16_t kMediaEntry = 0xFFF8;     // FAT entry 0 of a fresh FAT
inline constexpr std::uint16_t kFirstDataCluster = 2;

// A volume with fewer clusters is FAT12, with more FAT32.
inline constexpr std::uint32_t kMinFat16Clusters = 4085;
inline constexpr std::uint32_t kMaxFat16Clusters = 65524;

}  // namespace dorvix
