#pragma once
// CFat16Disk: a whole drive or a region of a file that receives a bootable FAT16 disk. The
// object borrows its handle (never closes it), learns the geometry, writes whole sectors, and
// Format lays out and writes the boot record, boot sector, FATs, root directory and files.
// Users derive from it and override OnProgress, the one call back into them.

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fat16/Fat16Layout.h"
#include "platform/DriveHandle.h"
#include "platform/WinTypes.h"

namespace pellorin {

// Why the last Format refused the disk before its first write, for a caller that explains it.
enum class FormatRefusal {
    None,         // Format wrote (or failed while writing)
    SectorSize,   // the disk's sectors are not 512 bytes
    DiskTooSmall,  // too few sectors for the smallest FAT16 volume
    NoSpace,      // the files do not fit into the volume
    Other,        // parameters, files that cannot be read, a partition too big
};

class CFat16Disk {
public:
    CFat16Disk();
    virtual ~CFat16Disk() = default;
    CFat16Disk(const CFat16Disk&) = delete;
    CFat16Disk& operator=(const CFat16Disk&) = delete;

    // Called after each data cluster but the first of every file; dwTotal and dwDone count
    // clusters; context is what the caller handed to Format. A nonzero result stops Format
    // (which then returns TRUE).
    virtual BOOL OnProgress(DWORD dwTotal, DWORD dwDone, void* context);

    // Binds to an open drive; the geometry comes from the driver and the total sector count
    // from the drive's size.
    BOOL Open(CDriveHandle* hDisk);
    // Binds to a region of a file starting at byte dwBaseOffset, with the given geometry.
    BOOL AttachFile(CDriveHandle* hFile, DWORD dwBaseOffset, DWORD dwBytesPerSector,
                    DWORD dwSectorsPerTrack, DWORD dwTracksPerCylinder, DWORD dwCylinders);

    BOOL GetDriveGeometry(DISK_GEOMETRY* pDiskGeometry);
    // The geometry together with the drive's size in bytes.
    BOOL GetDriveGeometryEx(DISK_GEOMETRY& geometry, LONGLONG& diskSize);

    // Writes dwSectorCount sectors from pBuffer (which holds cbBufSize bytes) at dwStartSector.
    BOOL WriteSectors(DWORD dwStartSector, DWORD dwSectorCount, const BYTE* pBuffer,
                      DWORD cbBufSize);

    // Writes the whole disk: pMbr and pPbr are the 512-byte "MBR" and "FDOSPBR" templates
    // (changed in place), pszFiles the NUL-separated, double-NUL-terminated list of full paths;
    // context is passed on to every OnProgress call.
    BOOL Format(BYTE* pMbr, BYTE* pPbr, const char* pszFiles, void* context = nullptr);

    // The files of the next Format, opened by the caller (in list order) with the sizes they had
    // when checked: Format copies from these descriptors instead of opening the paths, and
    // fails before its first write when one is missing or its size has changed.
    void UseOpenFiles(std::vector<std::unique_ptr<CFileHandle>> files, std::vector<std::uint64_t> sizes) {
        m_openFiles = std::move(files);
        m_openSizes = std::move(sizes);
    }

    // Source of the tick count that becomes the volume serial number (milliseconds since the
    // system started, by default); tests inject a fixed value for reproducible disks.
    void SetTickCountSource(std::function<DWORD()> source) { m_tickCount = std::move(source); }

    const DISK_GEOMETRY& Geometry() const { return m_Geometry; }
    ULONGLONG TotalSectors() const { return m_TotalSectors; }
    DWORD BaseOffset() const { return m_dwBaseOffset; }
    // The layout of the last Format (valid once it got past its checks).
    const Fat16Layout& Layout() const { return m_layout; }
    // Why the last Format refused before writing; None when it got to its writes.
    FormatRefusal Refusal() const { return m_refusal; }

protected:
    CDriveHandle* m_hDisk;
    DISK_GEOMETRY m_Geometry;
    ULONGLONG m_TotalSectors;
    DWORD m_dwBaseOffset;
    void* m_progressContext;

    DWORD m_dwFat1Start;
    DWORD m_dwRootStart;
    DWORD m_dwDataStart;
    BYTE m_bySectorsPerCluster;

private:
    void DumpGeometry(const DISK_GEOMETRY& geometry);
    // Sizes an image disk (no cylinders, no size yet) to its files.
    BOOL SizeToFiles(const std::vector<std::string>& paths, DWORD dwSectorsPerCluster);
    // One zero-filled buffer of `dwSectors` sectors that starts with `head`, written at
    // `dwStart`; `pszContext` names the step in the error line.
    BOOL WriteRegion(DWORD dwStart, DWORD dwSectors, std::span<const BYTE> head,
                     const char* pszContext);
    BOOL WriteFats(const std::vector<FilePlan>& plans);
    BOOL WriteRoot(const std::vector<FilePlan>& plans, bool labelled, DWORD& dwTotal);
    // Copies the files' data into their clusters, several clusters a write; TRUE also when
    // OnProgress asked to stop.
    BOOL CopyFileData(const std::vector<FilePlan>& plans, DWORD dwTotal);

    // The files of the last Format that are being written, open since they were sized (null
    // for entries that are missing or directories).
    std::vector<std::unique_ptr<CFileHandle>> m_files;

    // Handed over by UseOpenFiles for the next Format.
    std::vector<std::unique_ptr<CFileHandle>> m_openFiles;
    std::vector<std::uint64_t> m_openSizes;

    BOOL Refuse(FormatRefusal why) {
        m_refusal = why;
        return FALSE;
    }

    Fat16Layout m_layout;
    FormatRefusal m_refusal = FormatRefusal::None;
    std::function<DWORD()> m_tickCount;
};

}  // namespace pellorin
