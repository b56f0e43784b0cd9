#pragma once
// The resource "ISOHDR": the 47104-byte header (23 logical blocks of 2048 bytes) that starts
// every ISO image pellorin writes: system area, primary volume descriptor, El Torito boot
// record, terminator, boot catalog, root directory and both path tables.

#include <cstddef>
#include <cstdint>
#include <span>

#include "IsoRecords.h"

namespace pellorin {

inline constexpr std::size_t kIsoHeaderSize = isorecords::kHeaderBytes;

std::span<const std::uint8_t> IsoHeaderTemplate();

}  // namespace pellorin
