#pragma once
// The desktop's basic integer and record types as pellorin's code uses them. On Linux they
// are plain aliases; records that the desktop's driver interface fills stay ordinary structs
// (they are never laid over disk bytes).

#include <cstdint>

namespace pellorin {

using BOOL = int;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;

// The driver's media type codes that the geometry dump names.
enum MEDIA_TYPE : DWORD {
    Unknown = 0,
    F3_1Pt44_512 = 2,
    F3_2Pt88_512 = 3,
    F3_720_512 = 5,
    RemovableMedia = 11,
    FixedMedia = 12,
    F3_1Pt2_512 = 17,
};

// Geometry of a disk as its driver reports it.
struct DISK_GEOMETRY {
    LONGLONG Cylinders = 0;
    DWORD MediaType = 0;
    DWORD TracksPerCylinder = 0;
    DWORD SectorsPerTrack = 0;
    DWORD BytesPerSector = 0;
};

}  // namespace pellorin
