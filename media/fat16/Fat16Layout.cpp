#include "fat16/Fat16Layout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fat16/ByteOrder.h"
#include "fat16/DiskRecords.h"

namespace pellorin {

namespace {

constexpr char kFreeDosOem[8] = {'F', 'r', 'e', 'e', 'D', 'O', 'S', ' '};
constexpr char kVolumeLabelText[11] = {'U', 'S', 'B', 'D', 'I', 'S', 'K', ' ', ' ', ' ', ' '};
constexpr char kNoLabelText[11] = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};
constexpr WORD kDosDate1980 = (1 << 5) | 1;  // 1980-01-01
constexpr char kFileSystemTypeText[8] = {'F', 'A', 'T', '1', '6', ' ', ' ', ' '};

// Characters a short name may hold besides letters and digits.
bool IsShortNameChar(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr && c != '\0';
}

unsigned char Upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

ShortName Compose(const std::string& base, const std::string& ext) {
    ShortName name;
    name.fill(' ');
    std::copy_n(base.begin(), std::min<std::size_t>(base.size(), 8), name.begin());
    std::copy_n(ext.begin(), std::min<std::size_t>(ext.size(), 3), name.begin() + 8);
    return name;
}

bool IsTaken(const ShortName& name, const std::vector<ShortName>& taken) {
    return std::find(taken.begin(), taken.end(), name) != taken.end();
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2));
}

}  // namespace

ClusterSizeChoice ChooseSectorsPerCluster(ULONGLONG total) {
    if (total == 0) {
        return {ClusterSizeResult::Ok, 64};
    }
    for (std::size_t row = 0; row < std::size(DiskSizeTable); ++row) {
        if (total <= DiskSizeTable[row].dwDiskSize) {
            if (row == 0) {
                return {ClusterSizeResult::TooSmall, 0};
            }
            if (DiskSizeTable[row].bySectorsPerCluster == 0) {
                break;
            }
            return {ClusterSizeResult::Ok, DiskSizeTable[row].bySectorsPerCluster};
        }
    }
    return {ClusterSizeResult::Capped, 64};
}

DWORD ClustersForFile(std::uint64_t size, DWORD bytesPerSector, DWORD sectorsPerCluster) {
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(bytesPerSector) * sectorsPerCluster;
    const std::uint64_t clusters = size / clusterBytes + (size % clusterBytes != 0 ? 1 : 0);
    return static_cast<DWORD>(std::clamp<std::uint64_t>(clusters, 1, 0xFFFFFFFF));
}

DWORD CylindersForClusters(DWORD sectorsPerTrack, DWORD heads, DWORD sectorsPerCluster,
                           DWORD clusters) {
    const std::uint64_t cylinderSectors = static_cast<std::uint64_t>(sectorsPerTrack) * heads;
    const std::uint64_t fatSectors = 2 * ((static_cast<std::uint64_t>(clusters) + 255) / 256);
    const std::uint64_t needed = cylinderSectors +
                                 static_cast<std::uint64_t>(sectorsPerCluster) * clusters +
                                 fatSectors + 32;
    return static_cast<DWORD>(needed / cylinderSectors + 2);
}

LayoutResult ComputeLayout(DWORD bytesPerSector, DWORD sectorsPerTrack, DWORD heads,
                           DWORD cylinders, ULONGLONG total, DWORD sectorsPerCluster,
                           Fat16Layout& layout) {
    layout = Fat16Layout{};
    layout.B = bytesPerSector;
    layout.S = sectorsPerTrack;
    layout.H = heads;
    layout.C = cylinders;
    layout.T = total;
    layout.P = sectorsPerCluster;
    const ULONGLONG covered = std::min<ULONGLONG>(total, kLargestFat16Disk);
    if (covered <= sectorsPerTrack || sectorsPerCluster == 0 || bytesPerSector < 32) {
        return LayoutResult::TooBigForFat16;
    }
    if ((covered - sectorsPerTrack) / sectorsPerCluster > 65535) {
        return LayoutResult::TooBigForFat16;
    }
    layout.V = static_cast<DWORD>(covered - sectorsPerTrack);
    const DWORD entriesPerSector = layout.B / direntry::kBytes;
    layout.D = ((512 + entriesPerSector - 1) / entriesPerSector) & 0xFFFF;
    for (;;) {
        layout.F = ((layout.V / layout.P + 257) >> 8) & 0xFFFF;
        const DWORD w = layout.D + 2 * layout.F + 1;
        layout.R = ((w + 7) & ~DWORD{7}) - w + 1;
        layout.N = (layout.V - 2 * layout.F - layout.R - layout.D) / layout.P;
        if (layout.N < kFat16ClusterLimit) {
            break;
        }
        // Near the top of the table the data region would hold more clusters than FAT16 can
        // number (every reader would take the volume for FAT32): the partition ends earlier.
        layout.V -= (layout.N - (kFat16ClusterLimit - 1)) * layout.P;
    }
    layout.capped = static_cast<ULONGLONG>(layout.S) + layout.V < total;
    layout.fat1Start = layout.S + layout.R;
    layout.fat2Start = layout.fat1Start + layout.F;
    layout.rootStart = layout.fat1Start + 2 * layout.F;
    layout.dataStart = layout.rootStart + layout.D;
    return LayoutResult::Ok;
}

bool AssignClusters(std::vector<FilePlan>& plans, const Fat16Layout& layout) {
    std::uint64_t next = 2;
    for (FilePlan& plan : plans) {
        if (!plan.assigned) {
            continue;
        }
        plan.clusters = ClustersForFile(plan.size, layout.B, layout.P);
        if (next + plan.clusters > std::uint64_t{layout.N} + 2) {
            return false;
        }
        plan.firstCluster = static_cast<DWORD>(next);
        next += plan.clusters;
    }
    return true;
}

void FillFat(std::span<BYTE> fat, const std::vector<FilePlan>& plans) {
    std::fill(fat.begin(), fat.end(), BYTE{0});
    store16(fat, 0, 0xFFF8);
    store16(fat, 2, 0xFFFF);
    for (const FilePlan& plan : plans) {
        if (!plan.assigned || plan.size == 0) {
            continue;
        }
        const DWORD last = plan.firstCluster + plan.clusters - 1;
        for (DWORD cluster = plan.firstCluster; cluster < last; ++cluster) {
            store16(fat, 2 * std::size_t{cluster}, static_cast<WORD>(cluster + 1));
        }
        store16(fat, 2 * std::size_t{last}, 0xFFFF);
    }
}

void FillPartitionTable(std::span<BYTE, 512> mbr, const Fat16Layout& layout) {
    std::fill_n(mbr.begin() + mbr::kPartitionTable, mbr::kPartitionTableBytes, BYTE{0});
    const auto entry = std::span<BYTE>(mbr).subspan(mbr::kPartitionTable, mbr::partition::kBytes);
    // The cylinder the partition ends in: the disk's last one, or for a partition that covers
    // only the first part of the disk (or a disk that reports no whole cylinder), the one
    // holding its last sector.
    DWORD endCylinder = layout.C - 1;
    if (layout.capped || layout.C == 0) {
        endCylinder = (layout.S + layout.V - 1) / (layout.S * layout.H);
    }
    store8(entry, mbr::partition::kStatus, mbr::partition::kActive);
    store8(entry, mbr::partition::kStartHead, 1);
    store8(entry, mbr::partition::kStartSector, 0x01);
    store8(entry, mbr::partition::kStartCylinder, 0);
    store8(entry, mbr::partition::kType, mbr::partition::kTypeFat16Lba);
    store8(entry, mbr::partition::kEndHead, static_cast<BYTE>(layout.H - 1));
    store8(entry, mbr::partition::kEndSector,
           static_cast<BYTE>((layout.S & 0x3F) | ((endCylinder >> 2) & 0xC0)));
    store8(entry, mbr::partition::kEndCylinder, static_cast<BYTE>(endCylinder & 0xFF));
    store32(entry, mbr::partition::kFirstLba, layout.S);
    store32(entry, mbr::partition::kSectorCount, layout.V);
}

void FillBootSector(std::span<BYTE, 512> pbr, const Fat16Layout& layout, DWORD serial,
                    bool labelled) {
    store16(pbr, bootsector::kBytesPerSector, static_cast<WORD>(layout.B));
    store8(pbr, bootsector::kSectorsPerCluster, static_cast<BYTE>(layout.P));
    store16(pbr, bootsector::kReservedSectors, static_cast<WORD>(layout.R));
    store8(pbr, bootsector::kFatCount, 2);
    store16(pbr, bootsector::kRootEntries, 512);
    store16(pbr, bootsector::kTotalSectors16, layout.V < 65536 ? static_cast<WORD>(layout.V) : 0);
    store8(pbr, bootsector::kMedia, 0xF8);
    store16(pbr, bootsector::kSectorsPerFat, static_cast<WORD>(layout.F));
    store16(pbr, bootsector::kSectorsPerTrack, static_cast<WORD>(layout.S));
    store16(pbr, bootsector::kHeads, static_cast<WORD>(layout.H));
    store32(pbr, bootsector::kHiddenSectors, layout.S);
    store32(pbr, bootsector::kTotalSectors32, layout.V >= 65536 ? layout.V : 0);
    store8(pbr, bootsector::kDriveNumber, 0x80);
    store32(pbr, bootsector::kSerialNumber, serial);
    std::memcpy(pbr.data() + bootsector::kVolumeLabel, labelled ? kVolumeLabelText : kNoLabelText,
                sizeof kVolumeLabelText);
    std::memcpy(pbr.data() + bootsector::kFileSystemType, kFileSystemTypeText, sizeof kFileSystemTypeText);
    if (std::memcmp(pbr.data() + bootsector::kOemName, kFreeDosOem, sizeof kFreeDosOem) == 0) {
        store16(pbr, bootsector::kLoaderRootSectors, static_cast<WORD>(layout.D));
        store32(pbr, bootsector::kLoaderFatStart, layout.fat1Start);
        store32(pbr, bootsector::kLoaderRootStart, layout.rootStart);
        store32(pbr, bootsector::kLoaderDataStart, layout.dataStart);
    }
}

DosDateTime ToDosDateTime(const UnixTime& fileTime) {
    constexpr std::int64_t kFirst = 315532800;    // 1980-01-01 00:00:00
    constexpr std::int64_t kLast = 4354819198;    // 2107-12-31 23:59:58
    const std::int64_t seconds = std::clamp<std::int64_t>(fileTime.seconds, kFirst, kLast);
    const std::int64_t days = seconds / 86400;
    const auto secondOfDay = static_cast<unsigned>(seconds % 86400);
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, year, month, day);
    DosDateTime result;
    result.date = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
    result.time = static_cast<WORD>(((secondOfDay / 3600) << 11) |
                                    (((secondOfDay / 60) % 60) << 5) | ((secondOfDay % 60) / 2));
    return result;
}

ShortName MakeShortName(const std::string& longName, const std::vector<ShortName>& taken) {
    std::string upper;
    for (unsigned char c : longName) {
        upper += static_cast<char>(Upper(c));
    }
    const auto dot = upper.find_last_of('.');
    const std::string base = dot == std::string::npos ? upper : upper.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : upper.substr(dot + 1);
    const auto allValid = [](const std::string& part) {
        return std::all_of(part.begin(), part.end(),
                           [](char c) { return IsShortNameChar(static_cast<unsigned char>(c)); });
    };
    const bool valid = !base.empty() && base.size() <= 8 && ext.size() <= 3 && allValid(base) &&
                       allValid(ext) && !(dot != std::string::npos && ext.empty());
    if (valid) {
        const ShortName name = Compose(base, ext);
        if (!IsTaken(name, taken)) {
            return name;
        }
    }

    // A numbered name from what can be kept of the long name: characters a short name cannot
    // hold become '_', blanks and dots are dropped (leading dots count as part of nothing).
    const auto basis = [](const std::string& part) {
        std::string kept;
        for (char c : part) {
            const auto u = static_cast<unsigned char>(c);
            if (c == ' ' || c == '.') {
                continue;
            }
            kept += IsShortNameChar(u) ? c : '_';
        }
        return kept;
    };
    const std::size_t firstNonDot = upper.find_first_not_of('.');
    const bool hasExtension = dot != std::string::npos && firstNonDot != std::string::npos &&
                              dot > firstNonDot;
    std::string baseBasis = basis(hasExtension ? base : upper);
    std::string extBasis = hasExtension ? basis(ext) : std::string();
    extBasis.resize(std::min<std::size_t>(extBasis.size(), 3));
    if (baseBasis.empty()) {
        baseBasis.push_back('_');
    }
    for (unsigned number = 1;; ++number) {
        char tail[12];
        const auto tailLength =
            static_cast<std::size_t>(std::snprintf(tail, sizeof tail, "~%u", number));
        const std::size_t kept = std::min<std::size_t>(baseBasis.size(), 8 - tailLength);
        ShortName name;
        name.fill(' ');
        std::copy_n(baseBasis.begin(), kept, name.begin());
        std::copy_n(tail, tailLength, name.begin() + static_cast<std::ptrdiff_t>(kept));
        std::copy_n(extBasis.begin(), extBasis.size(), name.begin() + 8);
        if (!IsTaken(name, taken)) {
            return name;
        }
    }
}

void FillDirectoryEntry(std::span<BYTE, 32> entry, const ShortName& name,
                        const FoundFile& found, WORD firstCluster, DWORD size) {
    std::fill(entry.begin(), entry.end(), BYTE{0});
    std::memcpy(entry.data() + direntry::kName, name.data(), name.size());
    if (entry[direntry::kName] == direntry::kDeleted) {
        entry[direntry::kName] = direntry::kDeletedEscape;  // E5h would mark the entry free
    }
    store8(entry, direntry::kAttributes, static_cast<BYTE>(found.attributes & 0xFF));
    const DosDateTime created = ToDosDateTime(found.created);
    const DosDateTime accessed = ToDosDateTime(found.accessed);
    const DosDateTime written = ToDosDateTime(found.written);
    store16(entry, direntry::kCreationTime, created.time);
    store16(entry, direntry::kCreationDate, created.date);
    store16(entry, direntry::kAccessDate, accessed.date);
    store16(entry, direntry::kWriteTime, written.time);
    store16(entry, direntry::kWriteDate, written.date);
    store16(entry, direntry::kFirstCluster, firstCluster);
    store32(entry, direntry::kFileSize, size);
}

void FillVolumeLabelEntry(std::span<BYTE, 32> entry) {
    std::fill(entry.begin(), entry.end(), BYTE{0});
    std::memcpy(entry.data() + direntry::kName, kVolumeLabelText, sizeof kVolumeLabelText);
    store8(entry, direntry::kAttributes, direntry::kAttributeVolumeLabel);
    store16(entry, direntry::kWriteDate, kDosDate1980);
}

}  // namespace pellorin
