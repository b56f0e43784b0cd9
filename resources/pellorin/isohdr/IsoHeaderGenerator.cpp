// Build-time generator of the 23-sector ISO header ("ISOHDR") that pellorin puts in front of the
// emulated hard disk of its bootable CD image. Every field is set by name from ECMA-119 (ISO 9660)
// and the El Torito bootable CD format; the builder later patches only the volume space size.
//
// Usage: pellorin_isohdr_generator OUTPUT-FILE

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <span>
#include <string_view>
#include <vector>

#include "IsoRecords.h"

namespace {

using namespace pellorin::isorecords;

// Texts of our own that the volume and the boot catalog carry.
constexpr std::string_view kVolumeIdentifier = "RESTORE";
constexpr std::string_view kPublisherIdentifier = "QZ TARVEX";
constexpr std::string_view kApplicationIdentifier = "QZ TARVEX THIN CLIENT IMAGING TOOL";
constexpr std::string_view kCatalogIdentification = "QZ TARVEX RECOVERY CD";  // at most 24

// The volume space size the template carries until the builder enters the real one.
constexpr std::uint32_t kTemplateVolumeSpaceSize = 128690;

// Recording time of the volume: 2003-03-27 14:00:00 at six hours west of Greenwich.
constexpr std::string_view kVolumeDateDigits = "2003032714000000";
constexpr std::uint8_t kGmtOffset = 0xE8;  // -24 quarter hours

// What the boot entry loads: one sector at 07C0:0000, the emulated disk's boot record, whose
// partition is FAT16 reached by cylinder, head and sector.
constexpr std::uint16_t kLoadSegment = 0x07C0;
constexpr std::uint8_t kFat16PartitionType = 6;

using Bytes = std::span<std::uint8_t>;

void putLE16(Bytes b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void putBE16(Bytes b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void putLE32(Bytes b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void putBE32(Bytes b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
// Both-byte-order fields: little-endian first, then big-endian (ECMA-119 7.2.3, 7.3.3).
void putBoth16(Bytes b, std::size_t at, std::uint16_t v) {
    putLE16(b, at, v);
    putBE16(b, at + 2, v);
}
void putBoth32(Bytes b, std::size_t at, std::uint32_t v) {
    putLE32(b, at, v);
    putBE32(b, at + 4, v);
}
// A text field padded with `pad` to its width.
void putText(Bytes b, std::size_t at, std::size_t width, std::string_view text, char pad = ' ') {
    for (std::size_t i = 0; i < width; ++i) {
        b[at + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : pad);
    }
}
void putDescriptorHead(Bytes b, std::uint8_t type) {
    b[kVdType] = type;
    putText(b, kVdIdentifier, 5, "CD001");
    b[kVdVersion] = 1;
}
// A 17-byte volume date: sixteen digits and the offset from Greenwich.
void putVolumeDate(Bytes b, std::size_t at, std::string_view digits, std::uint8_t offset) {
    putText(b, at, 16, digits);
    b[at + 16] = offset;
}

struct RecordingDate {
    std::uint8_t yearsSince1900, month, day, hour, minute, second, gmtOffset;
};

void putDirectoryRecord(Bytes b, std::size_t at, std::uint8_t name, const RecordingDate& date) {
    Bytes r = b.subspan(at, kDirRecordLength);
    r[kDirLength] = kDirRecordLength;
    putBoth32(r, kDirExtent, kRootDirectoryBlock);
    putBoth32(r, kDirDataLength, kBlockSize);
    const std::array<std::uint8_t, 7> d{date.yearsSince1900, date.month, date.day, date.hour,
                                        date.minute, date.second, date.gmtOffset};
    for (std::size_t i = 0; i < d.size(); ++i) r[kDirRecordingDate + i] = d[i];
    r[kDirFlags] = kDirFlagDirectory;
    putBoth16(r, kDirVolumeSequenceNumber, 1);
    r[kDirNameLength] = 1;
    r[kDirName] = name;
}

void buildPrimaryDescriptor(Bytes b) {
    putDescriptorHead(b, 1);
    putText(b, kPvdSystemIdentifier, 32, "");
    putText(b, kPvdVolumeIdentifier, 32, kVolumeIdentifier);
    putBoth32(b, kPvdVolumeSpaceSize, kTemplateVolumeSpaceSize);
    putBoth16(b, kPvdVolumeSetSize, 1);
    putBoth16(b, kPvdVolumeSequenceNumber, 1);
    putBoth16(b, kPvdLogicalBlockSize, kBlockSize);
    putBoth32(b, kPvdPathTableSize, kPathTableSize);
    putLE32(b, kPvdPathTableL, kPathTableLBlock);
    putLE32(b, kPvdOptionalPathTableL, 0);
    putBE32(b, kPvdPathTableM, kPathTableMBlock);
    putBE32(b, kPvdOptionalPathTableM, 0);
    putDirectoryRecord(b, kPvdRootDirectoryRecord, 0, {103, 3, 27, 14, 0, 0, kGmtOffset});
    putText(b, kPvdVolumeSetIdentifier, 128, "");
    putText(b, kPvdPublisherIdentifier, 128, kPublisherIdentifier);
    putText(b, kPvdDataPreparerIdentifier, 128, "");
    putText(b, kPvdApplicationIdentifier, 128, kApplicationIdentifier);
    putText(b, kPvdCopyrightFileIdentifier, 37, "");
    putText(b, kPvdAbstractFileIdentifier, 37, "");
    putText(b, kPvdBibliographicFileIdentifier, 37, "");
    putVolumeDate(b, kPvdCreationDate, kVolumeDateDigits, kGmtOffset);
    putVolumeDate(b, kPvdModificationDate, kVolumeDateDigits, kGmtOffset);
    putVolumeDate(b, kPvdExpirationDate, "0000000000000000", 0);
    putVolumeDate(b, kPvdEffectiveDate, "0000000000000000", 0);
    b[kPvdFileStructureVersion] = 1;
}

void buildBootRecord(Bytes b) {
    putDescriptorHead(b, 0);
    putText(b, kBrBootSystemIdentifier, 32, kElToritoIdentifier, '\0');
    putLE32(b, kBrBootCatalogPointer, kBootCatalogBlock);
}

void buildBootCatalog(Bytes b) {
    b[kValHeaderId] = 1;
    b[kValPlatformId] = 0;  // 80x86
    putText(b, kValIdentification, kValIdentificationLength, kCatalogIdentification, '\0');
    b[kValKey55] = 0x55;
    b[kValKeyAA] = 0xAA;
    // The sixteen little-endian words of the validation entry must sum to zero.
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < kValEntryLength; i += 2) {
        sum = static_cast<std::uint16_t>(sum + (b[i] | (b[i + 1] << 8)));
    }
    putLE16(b, kValChecksum, static_cast<std::uint16_t>(0x10000 - sum));

    b[kInitBootIndicator] = kBootable;
    b[kInitMediaType] = kHardDiskEmulation;
    putLE16(b, kInitLoadSegment, kLoadSegment);
    b[kInitSystemType] = kFat16PartitionType;
    putLE16(b, kInitSectorCount, 1);
    putLE32(b, kInitLoadRba, kEmulatedDiskBlock);
}

void buildRootDirectory(Bytes b) {
    const RecordingDate none{0, 0, 0, 0, 0, 0, kGmtOffset};
    putDirectoryRecord(b, 0, 0, none);                 // "."
    putDirectoryRecord(b, kDirRecordLength, 1, none);  // ".."
}

void buildPathTable(Bytes b, bool bigEndian) {
    b[kPtNameLength] = 1;
    if (bigEndian) {
        putBE32(b, kPtExtent, kRootDirectoryBlock);
        putBE16(b, kPtParent, 1);
    } else {
        putLE32(b, kPtExtent, kRootDirectoryBlock);
        putLE16(b, kPtParent, 1);
    }
    b[kPtName] = 0;  // the root's name; byte 9 pads the record to an even length
}

std::vector<std::uint8_t> buildIsoHeader() {
    std::vector<std::uint8_t> image(kHeaderBlocks * kBlockSize, 0);  // system area stays zero
    const auto block = [&image](std::uint32_t n) {
        return Bytes(image).subspan(n * kBlockSize, kBlockSize);
    };
    buildPrimaryDescriptor(block(kPrimaryDescriptorBlock));
    buildBootRecord(block(kBootRecordBlock));
    putDescriptorHead(block(kTerminatorBlock), 255);
    buildBootCatalog(block(kBootCatalogBlock));
    buildRootDirectory(block(kRootDirectoryBlock));
    buildPathTable(block(kPathTableLBlock), false);
    buildPathTable(block(kPathTableMBlock), true);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    static_assert(kCatalogIdentification.size() <= kValIdentificationLength);
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " OUTPUT-FILE\n";
        return 2;
    }
    const std::vector<std::uint8_t> image = buildIsoHeader();
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::cerr << argv[0] << ": cannot write " << argv[1] << "\n";
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
