#pragma once
// Boot code embedded in pellorin: the master boot record "MBR" and the FAT16 partition boot
// sector "FDOSPBR", 512 bytes each (nasm sources next to this file).

#include <cstddef>

extern const unsigned char resource_MBR[];
extern const std::size_t resource_MBR_size;
extern const unsigned char resource_FDOSPBR[];
extern const std::size_t resource_FDOSPBR_size;
