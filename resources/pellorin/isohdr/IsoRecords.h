#pragma once
// The records of the ISO header that pellorin writes in front of the emulated hard disk of its
// bootable CD image, as named byte offsets: where its blocks lie, and the fields of the volume
// descriptors, directory records and path tables (ECMA-119, ISO 9660) and of the boot record and
// boot catalog (El Torito bootable CD format). The generator of the header sets them by name; the
// ISO builder patches the volume space size through the same names.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pellorin::isorecords {

// Logical blocks of 2048 bytes; the header is 23 of them.
inline constexpr std::size_t kBlockSize = 2048;
inline constexpr std::size_t kHeaderBlocks = 23;

// Logical blocks of the header.
inline constexpr std::uint32_t kPrimaryDescriptorBlock = 16;
inline constexpr std::uint32_t kBootRecordBlock = 17;
inline constexpr std::uint32_t kTerminatorBlock = 18;
inline constexpr std::uint32_t kBootCatalogBlock = 19;
inline constexpr std::uint32_t kRootDirectoryBlock = 20;
inline constexpr std::uint32_t kPathTableLBlock = 21;
inline constexpr std::uint32_t kPathTableMBlock = 22;
inline constexpr std::uint32_t kEmulatedDiskBlock = 23;  // the hard-disk image starts right behind

// The header ends where the emulated disk begins.
inline constexpr std::size_t kHeaderBytes = kHeaderBlocks * kBlockSize;
inline constexpr std::size_t kPrimaryDescriptorOffset = kPrimaryDescriptorBlock * kBlockSize;

// Volume descriptor common fields (ECMA-119 8.1).
inline constexpr std::size_t kVdType = 0;
inline constexpr std::size_t kVdIdentifier = 1;  // "CD001"
inline constexpr std::size_t kVdVersion = 6;

// Primary volume descriptor (ECMA-119 8.4).
inline constexpr std::size_t kPvdSystemIdentifier = 8;           // 32 bytes
inline constexpr std::size_t kPvdVolumeIdentifier = 40;          // 32 bytes
inline constexpr std::size_t kPvdVolumeSpaceSize = 80;           // both-endian 32
inline constexpr std::size_t kPvdVolumeSetSize = 120;            // both-endian 16
inline constexpr std::size_t kPvdVolumeSequenceNumber = 124;     // both-endian 16
inline constexpr std::size_t kPvdLogicalBlockSize = 128;         // both-endian 16
inline constexpr std::size_t kPvdPathTableSize = 132;            // both-endian 32
inline constexpr std::size_t kPvdPathTableL = 140;               // little-endian 32
inline constexpr std::size_t kPvdOptionalPathTableL = 144;       // little-endian 32
inline constexpr std::size_t kPvdPathTableM = 148;               // big-endian 32
inline constexpr std::size_t kPvdOptionalPathTableM = 152;       // big-endian 32
inline constexpr std::size_t kPvdRootDirectoryRecord = 156;      // 34 bytes
inline constexpr std::size_t kPvdVolumeSetIdentifier = 190;      // 128 bytes
inline constexpr std::size_t kPvdPublisherIdentifier = 318;      // 128 bytes
inline constexpr std::size_t kPvdDataPreparerIdentifier = 446;   // 128 bytes
inline constexpr std::size_t kPvdApplicationIdentifier = 574;    // 128 bytes
inline constexpr std::size_t kPvdCopyrightFileIdentifier = 702;  // 37 bytes
inline constexpr std::size_t kPvdAbstractFileIdentifier = 739;   // 37 bytes
inline constexpr std::size_t kPvdBibliographicFileIdentifier = 776;  // 37 bytes
inline constexpr std::size_t kPvdCreationDate = 813;             // 17 bytes each
inline constexpr std::size_t kPvdModificationDate = 830;
inline constexpr std::size_t kPvdExpirationDate = 847;
inline constexpr std::size_t kPvdEffectiveDate = 864;
inline constexpr std::size_t kPvdFileStructureVersion = 881;

// Directory record (ECMA-119 9.1).
inline constexpr std::size_t kDirRecordLength = 34;
inline constexpr std::size_t kDirLength = 0;
inline constexpr std::size_t kDirExtent = 2;              // both-endian 32
inline constexpr std::size_t kDirDataLength = 10;         // both-endian 32
inline constexpr std::size_t kDirRecordingDate = 18;      // 7 bytes
inline constexpr std::size_t kDirFlags = 25;
inline constexpr std::size_t kDirVolumeSequenceNumber = 28;  // both-endian 16
inline constexpr std::size_t kDirNameLength = 32;
inline constexpr std::size_t kDirName = 33;
inline constexpr std::uint8_t kDirFlagDirectory = 0x02;

// Boot record volume descriptor (El Torito 2.0).
inline constexpr std::size_t kBrBootSystemIdentifier = 7;  // 32 bytes, zero padded
inline constexpr std::size_t kBrBootCatalogPointer = 71;   // little-endian 32
inline constexpr std::string_view kElToritoIdentifier = "EL TORITO SPECIFICATION";

// Boot catalog (El Torito 2.1, 2.2).
inline constexpr std::size_t kValHeaderId = 0;
inline constexpr std::size_t kValPlatformId = 1;
inline constexpr std::size_t kValIdentification = 4;  // 24 bytes
inline constexpr std::size_t kValIdentificationLength = 24;
inline constexpr std::size_t kValChecksum = 28;
inline constexpr std::size_t kValKey55 = 30;
inline constexpr std::size_t kValKeyAA = 31;
inline constexpr std::size_t kValEntryLength = 32;
inline constexpr std::size_t kInitBootIndicator = 32;
inline constexpr std::size_t kInitMediaType = 33;
inline constexpr std::size_t kInitLoadSegment = 34;
inline constexpr std::size_t kInitSystemType = 36;
inline constexpr std::size_t kInitSectorCount = 38;
inline constexpr std::size_t kInitLoadRba = 40;
inline constexpr std::uint8_t kBootable = 0x88;
inline constexpr std::uint8_t kHardDiskEmulation = 4;

// Path table record (ECMA-119 9.4).
inline constexpr std::size_t kPtNameLength = 0;
inline constexpr std::size_t kPtExtent = 2;
inline constexpr std::size_t kPtParent = 6;
inline constexpr std::size_t kPtName = 8;
inline constexpr std::uint32_t kPathTableSize = 10;

}  // namespace pellorin::isorecords
