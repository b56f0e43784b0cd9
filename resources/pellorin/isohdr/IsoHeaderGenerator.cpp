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

namespace {

constexpr std::size_t kBlockSize = 2048;
constexpr std::size_t kHeaderBlocks = 23;

// Logical blocks of the header.
constexpr std::uint32_t kPrimaryDescriptorBlock = 16;
constexpr std::uint32_t kBootRecordBlock = 17;
constexpr std::uint32_t kTerminatorBlock = 18;
constexpr std::uint32_t kBootCatalogBlock = 19;
constexpr std::uint32_t kRootDirectoryBlock = 20;
constexpr std::uint32_t kPathTableLBlock = 21;
constexpr std::uint32_t kPathTableMBlock = 22;
constexpr std::uint32_t kEmulatedDiskBlock = 23;  // the hard-disk image starts right behind

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

// Volume descriptor common fields (ECMA-119 8.1).
constexpr std::size_t kVdType = 0;
constexpr std::size_t kVdIdentifier = 1;  // "CD001"
constexpr std::size_t kVdVersion = 6;

// Primary volume descriptor (ECMA-119 8.4).
constexpr std::size_t kPvdSystemIdentifier = 8;           // 32 bytes
constexpr std::size_t kPvdVolumeIdentifier = 40;          // 32 bytes
constexpr std::size_t kPvdVolumeSpaceSize = 80;           // both-endian 32
constexpr std::size_t kPvdVolumeSetSize = 120;            // both-endian 16
constexpr std::size_t kPvdVolumeSequenceNumber = 124;     // both-endian 16
constexpr std::size_t kPvdLogicalBlockSize = 128;         // both-endian 16
constexpr std::size_t kPvdPathTableSize = 132;            // both-endian 32
constexpr std::size_t kPvdPathTableL = 140;               // little-endian 32
constexpr std::size_t kPvdOptionalPathTableL = 144;       // little-endian 32
constexpr std::size_t kPvdPathTableM = 148;               // big-endian 32
constexpr std::size_t kPvdOptionalPathTableM = 152;       // big-endian 32
constexpr std::size_t kPvdRootDirectoryRecord = 156;      // 34 bytes
constexpr std::size_t kPvdVolumeSetIdentifier = 190;      // 128 bytes
constexpr std::size_t kPvdPublisherIdentifier = 318;      // 128 bytes
constexpr std::size_t kPvdDataPreparerIdentifier = 446;   // 128 bytes
constexpr std::size_t kPvdApplicationIdentifier = 574;    // 128 bytes
constexpr std::size_t kPvdCopyrightFileIdentifier = 702;  // 37 bytes
constexpr std::size_t kPvdAbstractFileIdentifier = 739;   // 37 bytes
constexpr std::size_t kPvdBibliographicFileIdentifier = 776;  // 37 bytes
constexpr std::size_t kPvdCreationDate = 813;             // 17 bytes each
constexpr std::size_t kPvdModificationDate = 830;
constexpr std::size_t kPvdExpirationDate = 847;
constexpr std::size_t kPvdEffectiveDate = 864;
constexpr std::size_t kPvdFileStructureVersion = 881;

// Directory record (ECMA-119 9.1).
constexpr std::size_t kDirRecordLength = 34;
constexpr std::size_t kDirLength = 0;
constexpr std::size_t kDirExtent = 2;              // both-endian 32
constexpr std::size_t kDirDataLength = 10;         // both-endian 32
constexpr std::size_t kDirRecordingDate = 18;      // 7 bytes
constexpr std::size_t kDirFlags = 25;
constexpr std::size_t kDirVolumeSequenceNumber = 28;  // both-endian 16
constexpr std::size_t kDirNameLength = 32;
constexpr std::size_t kDirName = 33;
constexpr std::uint8_t kDirFlagDirectory = 0x02;

// Boot record volume descriptor (El Torito 2.0).
constexpr std::size_t kBrBootSystemIdentifier = 7;  // 32 bytes, zero padded
constexpr std::size_t kBrBootCatalogPointer = 71;   // little-endian 32
constexpr std::string_view kElToritoIdentifier = "EL TORITO SPECIFICATION";

// Boot catalog (El Torito 2.1, 2.2).
constexpr std::size_t kValHeaderId = 0;
constexpr std::size_t kValPlatformId = 1;
constexpr std::size_t kValIdentification = 4;  // 24 bytes
constexpr std::size_t kValIdentificationLength = 24;
constexpr std::size_t kValChecksum = 28;
constexpr std::size_t kValKey55 = 30;
constexpr std::size_t kValKeyAA = 31;
constexpr std::size_t kValEntryLength = 32;
constexpr std::size_t kInitBootIndicator = 32;
constexpr std::size_t kInitMediaType = 33;
constexpr std::size_t kInitLoadSegment = 34;
constexpr std::size_t kInitSystemType = 36;
constexpr std::size_t kInitSectorCount = 38;
constexpr std::size_t kInitLoadRba = 40;
constexpr std::uint8_t kBootable = 0x88;
constexpr std::uint8_t kHardDiskEmulation = 4;
constexpr std::uint16_t kLoadSegment = 0x07C0;
constexpr std::uint8_t kFat16PartitionType = 6;

// Path table record (ECMA-119 9.4).
constexpr std::size_t kPtNameLength = 0;
constexpr std::size_t kPtExtent = 2;
constexpr std::size_t kPtParent = 6;
constexpr std::size_t kPtName = 8;
constexpr std::uint32_t kPathTableSize = 10;

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
