#pragma once
// Little-endian (and, for ISO 9660, both-byte-order) loads and stores at byte offsets of
// on-disk records. Every on-disk field is read and written through these, never through
// structs cast over the bytes.

#include <cstddef>
#include <cstdint>
#include <span>

namespace pellorin {

inline std::uint8_t load8(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return bytes[offset];
}

inline std::uint16_t load16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t load32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

inline void store8(std::span<std::uint8_t> bytes, std::size_t offset, std::uint8_t value) {
    bytes[offset] = value;
}

inline void store16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void store32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A 32-bit field stored twice: little-endian, then big-endian (ECMA-119 7.3.3).
inline void storeBoth32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    store32(bytes, offset, value);
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + 4 + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

}  // namespace pellorin
