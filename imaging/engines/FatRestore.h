#pragma once
// The FAT-aware restore (restoreFatImage, declared in engines/Engines.h) and its boot-code
// readers. The restore writes a FAT-aware image onto DSKn: and re-lays the FAT16 volume out
// for that disk: new partition entry and boot sector, the image's root directory and data
// area copied as one stream, and the FAT rebuilt from the directory entries.

#include <cstdint>
#include <span>
#include <string>

namespace dorvix {

// Reads a 512-byte code file and copies its bytes 0-445 over the MBR's boot code; partition
// table and signature stay. 1 when exactly 512 bytes could be read, else 0 (MBR unchanged).
int readMbrCodeBlock(std::span<std::uint8_t> mbr, const std::string& path);

// The same for a boot sector: bytes 0-2 (jump) and 62-509 (boot code); the parameter block
// and the signature stay.
int readBootCodeBlock(std::span<std::uint8_t> bootSector, const std::string& path);

}  // namespace dorvix
