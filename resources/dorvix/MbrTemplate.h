#pragma once
// The 512-byte MBR template written at sector 0 of every FAT-aware image body (assembled from
// mbr.asm): boot code that starts the active partition, partition entry 1 at sector 32.
#include <cstddef>

extern const unsigned char dorvixMbrTemplate[];
extern const std::size_t dorvixMbrTemplate_size;
