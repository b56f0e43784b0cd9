#include "fat16/Fat16Disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "TraceText.h"
#include "fat16/ByteOrder.h"
#include "fat16/DiskRecords.h"
#include "fat16/Trace.h"
#include "platform/FileFind.h"

namespace pellorin {

namespace {

constexpr std::size_t kMaxFiles = 512;
// Bytes of file data read and written at once (a whole number of clusters of any size).
constexpr std::size_t kCopyChunkBytes = std::size_t{1} << 20;

DWORD TickCountNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000000);
}

const char* MediaName(DWORD mediaType) {
    switch (mediaType) {
    case F3_1Pt44_512: return "F3_1Pt44_512";
    case F3_2Pt88_512: return "F3_2Pt88_512";
    case F3_720_512: return "F3_720_512";
    case RemovableMedia: return "RemovableMedia";
    case FixedMedia: return "FixedMedia";
    case F3_1Pt2_512: return "F3_1Pt2_512";
    default: return "Unknown";
    }
}

// A zero-filled work buffer for one step; false (with the trace line) when memory runs out.
bool AllocateZeroed(std::vector<BYTE>& buffer, std::size_t size) {
    try {
        buffer.assign(size, 0);
        return true;
    } catch (const std::bad_alloc&) {
        DebugPrint(1, text::kOutOfMemory);
        return false;
    }
}

std::vector<std::string> SplitFileList(const char* pszFiles) {
    std::vector<std::string> paths;
    if (pszFiles == nullptr) {
        return paths;
    }
    for (const char* entry = pszFiles; *entry != '\0'; entry += std::strlen(entry) + 1) {
        paths.emplace_back(entry);
    }
    return paths;
}

}  // namespace

CFat16Disk::CFat16Disk()
    : m_hDisk(nullptr),
      m_Geometry{},
      m_TotalSectors(0),
      m_dwBaseOffset(0),
      m_progressContext(nullptr),
      m_dwFat1Start(0),
      m_dwRootStart(0),
      m_dwDataStart(0),
      m_bySectorsPerCluster(0),
      m_tickCount(TickCountNow) {}

BOOL CFat16Disk::OnProgress(DWORD, DWORD, void*) {
    return FALSE;
}

BOOL CFat16Disk::Open(CDriveHandle* hDisk) {
    if (hDisk == nullptr) {
        return FALSE;
    }
    m_hDisk = hDisk;
    m_dwBaseOffset = 0;
    if (!GetDriveGeometry(&m_Geometry)) {
        return FALSE;
    }
    if (m_Geometry.BytesPerSector == 0) {
        DebugPrint(1, text::kNoSectorSize);
        return FALSE;
    }
    // The total comes from the drive's size; without it (the query has reported why) the
    // drive is not used rather than sized from an unfilled answer.
    DISK_GEOMETRY geometry;
    LONGLONG diskSize = 0;
    if (!GetDriveGeometryEx(geometry, diskSize)) {
        return FALSE;
    }
    m_TotalSectors = static_cast<ULONGLONG>(diskSize) / m_Geometry.BytesPerSector;
    return TRUE;
}

BOOL CFat16Disk::AttachFile(CDriveHandle* hFile, DWORD dwBaseOffset, DWORD dwBytesPerSector,
                            DWORD dwSectorsPerTrack, DWORD dwTracksPerCylinder,
                            DWORD dwCylinders) {
    if (hFile == nullptr || dwBytesPerSector == 0 ||
        dwBaseOffset % dwBytesPerSector != 0) {
        return FALSE;
    }
    m_hDisk = hFile;
    m_dwBaseOffset = dwBaseOffset;
    m_Geometry.Cylinders = dwCylinders;
    m_Geometry.TracksPerCylinder = dwTracksPerCylinder;
    m_Geometry.SectorsPerTrack = dwSectorsPerTrack;
    m_Geometry.BytesPerSector = dwBytesPerSector;
    m_TotalSectors = static_cast<ULONGLONG>(dwSectorsPerTrack) * dwTracksPerCylinder * dwCylinders;
    return TRUE;
}

BOOL CFat16Disk::GetDriveGeometry(DISK_GEOMETRY* pDiskGeometry) {
    if (pDiskGeometry == nullptr) {
        DebugPrint(1, text::kInvalidGeometryTarget);
        return FALSE;
    }
    LONGLONG diskSize = 0;
    if (m_hDisk == nullptr) {
        SetLastError(EBADF);
        ReportError(text::kContextGeometry, GetLastError());
        return FALSE;
    }
    if (!m_hDisk->QueryGeometry(*pDiskGeometry, diskSize)) {
        ReportError(text::kContextGeometry, GetLastError());
        return FALSE;
    }
    DumpGeometry(*pDiskGeometry);
    return TRUE;
}

BOOL CFat16Disk::GetDriveGeometryEx(DISK_GEOMETRY& geometry, LONGLONG& diskSize) {
    if (m_hDisk == nullptr) {
        SetLastError(EBADF);
        ReportError(text::kContextGeometryEx, GetLastError());
        return FALSE;
    }
    if (!m_hDisk->QueryGeometry(geometry, diskSize)) {
        ReportError(text::kContextGeometryEx, GetLastError());
        return FALSE;
    }
    DumpGeometry(geometry);
    const LONGLONG totalSectors =
        geometry.BytesPerSector != 0 ? diskSize / geometry.BytesPerSector : 0;
    DebugPrint(3, text::kGeometryWide, "TotalSectors", static_cast<long long>(totalSectors),
               static_cast<unsigned long long>(totalSectors));
    return TRUE;
}

void CFat16Disk::DumpGeometry(const DISK_GEOMETRY& geometry) {
    DebugPrint(3, text::kGeometryName, "MediaType", MediaName(geometry.MediaType));
    DebugPrint(3, text::kGeometryWide, "NumberOfCylinders",
               static_cast<long long>(geometry.Cylinders),
               static_cast<unsigned long long>(geometry.Cylinders));
    DebugPrint(3, text::kGeometryNumber, "TracksPerCylinder", geometry.TracksPerCylinder,
               geometry.TracksPerCylinder);
    DebugPrint(3, text::kGeometryNumber, "SectorsPerTrack", geometry.SectorsPerTrack,
               geometry.SectorsPerTrack);
    DebugPrint(3, text::kGeometryNumber, "BytesPerSector", geometry.BytesPerSector,
               geometry.BytesPerSector);
    const LONGLONG total = geometry.Cylinders * geometry.TracksPerCylinder * geometry.SectorsPerTrack;
    DebugPrint(3, text::kGeometryWide, "TotalSectors", static_cast<long long>(total),
               static_cast<unsigned long long>(total));
    DebugPrint(3, text::kEmptyLine);
}

BOOL CFat16Disk::WriteSectors(DWORD dwStartSector, DWORD dwSectorCount, const BYTE* pBuffer,
                              DWORD cbBufSize) {
    const std::uint64_t bytesToWrite =
        static_cast<std::uint64_t>(m_Geometry.BytesPerSector) * dwSectorCount;
    if (pBuffer == nullptr || bytesToWrite > 0xFFFFFFFFull || cbBufSize < bytesToWrite) {
        DebugPrint(1, text::kBufferTooSmall);
        return FALSE;
    }
    const DWORD dwBytesToWrite = static_cast<DWORD>(bytesToWrite);
    const std::uint64_t position =
        static_cast<std::uint64_t>(m_Geometry.BytesPerSector) * dwStartSector + m_dwBaseOffset;
    DWORD written = 0;
    bool ok = m_hDisk != nullptr;
    if (!ok) {
        SetLastError(EBADF);
    }
    ok = ok && m_hDisk->WriteAt(position, std::span<const BYTE>(pBuffer, dwBytesToWrite), written);
    if (ok && written != dwBytesToWrite) {
        SetLastError(EIO);
        ok = false;
    }
    if (!ok) {
        const DWORD code = GetLastError();
        ReportError(text::kContextWriteSectors, code);
        SetLastError(code);  // the caller reports the same code for its step
        return FALSE;
    }
    return TRUE;
}

BOOL CFat16Disk::Format(BYTE* pMbr, BYTE* pPbr, const char* pszFiles, void* context) {
    // Every check comes before the first write: a refused disk keeps what it held.
    m_refusal = FormatRefusal::Other;
    if (pPbr == nullptr || pMbr == nullptr || m_hDisk == nullptr ||
        m_Geometry.BytesPerSector != 512 || m_Geometry.SectorsPerTrack == 0 ||
        m_Geometry.TracksPerCylinder == 0) {
        DebugPrint(1, text::kInvalidParameters);
        // The boot code, the FAT16 layout and FreeDOS all count in 512-byte sectors.
        const bool sectorSize = pPbr != nullptr && pMbr != nullptr && m_hDisk != nullptr &&
                                m_Geometry.BytesPerSector != 512;
        return Refuse(sectorSize ? FormatRefusal::SectorSize : FormatRefusal::Other);
    }
    const std::vector<std::string> paths = SplitFileList(pszFiles);
    if (paths.size() > kMaxFiles) {
        DebugPrint(1, text::kTooManyFiles);
        return FALSE;
    }
    m_progressContext = context;

    const ClusterSizeChoice choice = ChooseSectorsPerCluster(m_TotalSectors);
    if (choice.result == ClusterSizeResult::TooSmall) {
        DebugPrint(1, text::kVolumeTooSmall);
        return Refuse(FormatRefusal::DiskTooSmall);
    }
    const DWORD P = choice.bySectorsPerCluster;
    if (static_cast<DWORD>(m_Geometry.Cylinders) == 0 && m_TotalSectors == 0 &&
        !SizeToFiles(paths, P)) {
        return FALSE;
    }

    Fat16Layout layout;
    if (ComputeLayout(m_Geometry.BytesPerSector, m_Geometry.SectorsPerTrack,
                      m_Geometry.TracksPerCylinder, static_cast<DWORD>(m_Geometry.Cylinders),
                      m_TotalSectors, P, layout) != LayoutResult::Ok) {
        DebugPrint(1, text::kPartitionTooBig);
        return FALSE;
    }
    if (layout.capped) {
        DebugPrint(1, text::kVolumeCapped, static_cast<unsigned long long>(m_TotalSectors),
                   layout.V);
    }

    // Every file to be written is opened now, without blocking and only as a regular file, and
    // stays open until its data are copied: what is sized is what is written. A name that is
    // missing is left out; a directory gets nothing; anything else that cannot be read refuses
    // the disk before its first write.
    std::vector<FilePlan> plans(paths.size());
    m_files.clear();
    m_files.resize(paths.size());
    const bool provided = !m_openFiles.empty() || !m_openSizes.empty();
    if (provided && (m_openFiles.size() != paths.size() || m_openSizes.size() != paths.size())) {
        DebugPrint(1, text::kInvalidParameters);
        m_openFiles.clear();
        return FALSE;
    }
    for (std::size_t i = 0; provided && i < paths.size(); ++i) {
        plans[i].path = paths[i];
        m_files[i] = std::move(m_openFiles[i]);
        std::uint64_t size = 0;
        if (!m_files[i] || !m_files[i]->Size(size) || size != m_openSizes[i]) {
            DebugPrint(1, text::kFileChangedSize, paths[i].c_str(), static_cast<unsigned long long>(size),
                       static_cast<unsigned long long>(i < m_openSizes.size() ? m_openSizes[i] : 0));
            m_files.clear();
            m_openFiles.clear();
            return FALSE;
        }
        plans[i].assigned = true;
        plans[i].size = size;
    }
    m_openFiles.clear();
    m_openSizes.clear();
    for (std::size_t i = 0; !provided && i < paths.size(); ++i) {
        plans[i].path = paths[i];
        FoundFile found;
        if (!FindFile(paths[i], found)) {
            ReportError(paths[i].c_str(), GetLastError());
            continue;
        }
        if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        m_files[i] = CFileHandle::OpenRegularFile(paths[i]);
        std::uint64_t size = 0;
        if (!m_files[i] || !m_files[i]->Size(size)) {
            const DWORD code = GetLastError();
            if (code == EINVAL) {
                DebugPrint(1, text::kNotARegularFile, paths[i].c_str());
            } else {
                ReportError(paths[i].c_str(), code);
            }
            m_files.clear();
            return FALSE;
        }
        plans[i].assigned = true;
        plans[i].size = size;
    }
    if (!AssignClusters(plans, layout)) {
        DebugPrint(1, text::kNoMoreSpace);
        m_files.clear();
        return Refuse(FormatRefusal::NoSpace);
    }
    // The label entry follows the files' entries when the root directory has a slot left.
    const auto files = static_cast<std::size_t>(std::count_if(
        plans.begin(), plans.end(), [](const FilePlan& plan) { return plan.assigned; }));
    const bool labelled = files < std::size_t{layout.D} * layout.B / direntry::kBytes;
    m_refusal = FormatRefusal::None;  // from here on Format writes

    m_layout = layout;
    m_dwFat1Start = layout.fat1Start;
    m_dwRootStart = layout.rootStart;
    m_dwDataStart = layout.dataStart;
    m_bySectorsPerCluster = static_cast<BYTE>(P);

    // Boot track: the boot record with its new partition table, then zeros.
    FillPartitionTable(std::span<BYTE, mbr::kSize>(pMbr, mbr::kSize), layout);
    if (!WriteRegion(0, layout.S, std::span<const BYTE>(pMbr, layout.B), text::kContextWriteMbr)) {
        return FALSE;
    }
    // Boot sector, then the reserved sectors after it as zeros.
    DebugPrint(1, text::kUpdatingPbr);
    FillBootSector(std::span<BYTE, bootsector::kSize>(pPbr, bootsector::kSize), layout,
                   m_tickCount ? m_tickCount() : TickCountNow(), labelled);
    if (!WriteRegion(layout.S, layout.R, std::span<const BYTE>(pPbr, layout.B),
                     text::kContextWritePbr)) {
        return FALSE;
    }
    DebugPrint(1, text::kUpdatingFat);
    if (!WriteFats(plans)) {
        return FALSE;
    }
    DebugPrint(1, text::kUpdatingRoot);
    DWORD dwTotal = 0;
    if (!WriteRoot(plans, labelled, dwTotal)) {
        return FALSE;
    }
    DebugPrint(1, text::kPopulating);
    const BOOL copied = CopyFileData(plans, dwTotal);
    m_files.clear();
    return copied;
}

BOOL CFat16Disk::SizeToFiles(const std::vector<std::string>& paths, DWORD dwSectorsPerCluster) {
    const DWORD S = m_Geometry.SectorsPerTrack;
    const DWORD H = m_Geometry.TracksPerCylinder;
    std::uint64_t clusters = 0;
    for (const std::string& path : paths) {
        FoundFile found;
        if (!FindFile(path, found)) {
            ReportError(path.c_str(), GetLastError());
            continue;
        }
        if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            const std::uint64_t size = found.size;
            clusters += ClustersForFile(size, m_Geometry.BytesPerSector, dwSectorsPerCluster);
        }
    }
    if (clusters > 65535) {
        DebugPrint(1, text::kPartitionTooBig);
        return FALSE;
    }
    const DWORD cylinders =
        CylindersForClusters(S, H, dwSectorsPerCluster, static_cast<DWORD>(clusters));
    m_Geometry.Cylinders = cylinders;
    m_TotalSectors = static_cast<ULONGLONG>(S) * H * cylinders;
    // A disk made for its files is never cut to what FAT16 serves: it must hold them all.
    if ((m_TotalSectors - S) / dwSectorsPerCluster > 65535) {
        DebugPrint(1, text::kPartitionTooBig);
        return FALSE;
    }
    return TRUE;
}

BOOL CFat16Disk::WriteRegion(DWORD dwStart, DWORD dwSectors, std::span<const BYTE> head,
                             const char* pszContext) {
    std::vector<BYTE> buffer;
    if (!AllocateZeroed(buffer, std::size_t{dwSectors} * m_Geometry.BytesPerSector)) {
        return FALSE;
    }
    std::copy_n(head.begin(), std::min(head.size(), buffer.size()), buffer.begin());
    if (!WriteSectors(dwStart, dwSectors, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        ReportError(pszContext, GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CFat16Disk::WriteFats(const std::vector<FilePlan>& plans) {
    std::vector<BYTE> fat;
    if (!AllocateZeroed(fat, std::size_t{m_layout.F} * m_layout.B)) {
        return FALSE;
    }
    FillFat(fat, plans);
    const auto size = static_cast<DWORD>(fat.size());
    if (!WriteSectors(m_layout.fat1Start, m_layout.F, fat.data(), size)) {
        ReportError(text::kContextWriteFat1, GetLastError());
        return FALSE;
    }
    if (!WriteSectors(m_layout.fat2Start, m_layout.F, fat.data(), size)) {
        ReportError(text::kContextWriteFat2, GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CFat16Disk::WriteRoot(const std::vector<FilePlan>& plans, bool labelled, DWORD& dwTotal) {
    std::vector<BYTE> root;
    if (!AllocateZeroed(root, std::size_t{m_layout.D} * m_layout.B)) {
        return FALSE;
    }
    const std::uint64_t clusterBytes = std::uint64_t{m_layout.P} * m_layout.B;
    const auto slotAt = [&root](DWORD slot) {
        return std::span<BYTE, direntry::kBytes>(root.data() + std::size_t{slot} * direntry::kBytes,
                                                 direntry::kBytes);
    };
    std::vector<ShortName> taken;
    DWORD slot = 0;
    for (const FilePlan& plan : plans) {
        // A second look: the entry shows the file as it is now (through its open handle for a
        // file that is written, so a rename meanwhile changes nothing).
        FoundFile found;
        const std::size_t index = static_cast<std::size_t>(&plan - plans.data());
        const bool open = index < m_files.size() && m_files[index];
        if (!(open ? FindOpenFile(*m_files[index], plan.path, found)
                   : FindFile(plan.path, found))) {
            ReportError(plan.path.c_str(), GetLastError());
            continue;
        }
        if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !plan.assigned) {
            continue;
        }
        const ShortName name = MakeShortName(
            found.shortName.empty() ? found.name : found.shortName, taken);
        taken.push_back(name);
        // An empty file names no cluster; no entry claims more bytes than its chain holds.
        const WORD firstCluster = plan.size == 0 ? 0 : static_cast<WORD>(plan.firstCluster);
        const std::uint64_t now = found.size;
        const DWORD size = plan.size == 0 ? 0
                                          : static_cast<DWORD>(std::min<std::uint64_t>(
                                                now, clusterBytes * plan.clusters));
        FillDirectoryEntry(slotAt(slot), name, found, firstCluster, size);
        ++slot;
        dwTotal += plan.clusters;
    }
    if (labelled) {
        FillVolumeLabelEntry(slotAt(slot));
    }
    if (!WriteSectors(m_layout.rootStart, m_layout.D, root.data(), static_cast<DWORD>(root.size()))) {
        ReportError(text::kContextWriteRoot, GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CFat16Disk::CopyFileData(const std::vector<FilePlan>& plans, DWORD dwTotal) {
    const DWORD P = m_layout.P;
    const std::size_t clusterBytes = std::size_t{P} * m_layout.B;
    // Whole clusters of a file go out in one positioned write of up to this many bytes.
    const std::size_t chunkClusters = std::max<std::size_t>(1, kCopyChunkBytes / clusterBytes);
    std::vector<BYTE> chunk;
    if (!AllocateZeroed(chunk, chunkClusters * clusterBytes)) {
        return FALSE;
    }
    DWORD dwDone = 0;
    bool kernelCopy = true;  // until a copy is refused or fails
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const FilePlan& plan = plans[i];
        CFileHandle* file = i < m_files.size() ? m_files[i].get() : nullptr;
        if (!plan.assigned || file == nullptr) {
            // Missing when sized, or a directory: it has no clusters. Say again why it is not
            // written (a directory, or a file that is still not there).
            if (!CFileHandle::OpenRegularFile(plan.path)) {
                ReportError(plan.path.c_str(), GetLastError());
            }
            continue;
        }
        DWORD position = m_layout.dataStart + (plan.firstCluster - 2) * P;
        std::uint64_t offset = 0;  // in the file
        for (DWORD index = 0; index < plan.clusters;) {
            const auto count = static_cast<DWORD>(
                std::min<std::uint64_t>(chunkClusters, std::uint64_t{plan.clusters} - index));
            const std::size_t bytes = std::size_t{count} * clusterBytes;
            // The clusters are filled as far as the file goes now (a file that grew since it
            // was sized fills its last cluster, as its entry says); less than its size is a loss.
            const auto wanted = static_cast<std::size_t>(
                plan.size > offset ? std::min<std::uint64_t>(bytes, plan.size - offset) : 0);
            DWORD got = 0;
            // Whole clusters of data go from file to disk inside the kernel where both allow it;
            // anything else (the last, padded cluster, a refused or failed copy) goes through
            // the buffer, which also names a failure's side.
            bool viaKernel = false;
            if (kernelCopy && wanted == bytes) {
                std::size_t copied = 0;
                viaKernel = m_hDisk->CopyFrom(*file, offset,
                                              std::uint64_t{m_Geometry.BytesPerSector} * position + m_dwBaseOffset,
                                              bytes, copied) &&
                            copied == bytes;
                kernelCopy = viaKernel;  // a refused or failed copy is not tried again
            }
            if (viaKernel) {
                got = static_cast<DWORD>(bytes);
            } else if (!file->ReadAt(offset, std::span<BYTE>(chunk.data(), bytes), got)) {
                char reason[1024];
                GetErrorText(GetLastError(), reason, sizeof reason);
                DebugPrint(1, text::kFileReadFailed, plan.path.c_str(), reason);
                return FALSE;
            }
            if (got < wanted) {
                // The directory entry and the chain promise more than the file now holds.
                DebugPrint(1, text::kFileShrank, plan.path.c_str(),
                           static_cast<unsigned long long>(offset + got),
                           static_cast<unsigned long long>(plan.size));
                return FALSE;
            }
            if (!viaKernel) {
                std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(got),
                          chunk.begin() + static_cast<std::ptrdiff_t>(bytes), BYTE{0});
                if (!WriteSectors(position, count * P, chunk.data(), static_cast<DWORD>(bytes))) {
                    DebugPrint(1, text::kFailedToWrite, count * P, position);
                    return FALSE;
                }
            }
            position += count * P;
            offset += got;
            // Progress per cluster, as if each had been written on its own.
            for (DWORD k = 0; k < count; ++k, ++index) {
                ++dwDone;
                if (index > 0 && OnProgress(dwTotal, dwDone, m_progressContext)) {
                    return TRUE;
                }
            }
        }
        // Never more than its clusters: a file that grew since is cut, and says so.
        BYTE probe = 0;
        DWORD more = 0;
        if (file->ReadAt(offset, std::span<BYTE>(&probe, 1), more) && more != 0) {
            DebugPrint(1, text::kFileGrew, plan.path.c_str(), plan.clusters);
        }
    }
    return TRUE;
}

}  // namespace pellorin
