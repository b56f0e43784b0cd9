#include "iso/IsoImageBuilder.h"

#include "BootCode.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "fat16/ByteOrder.h"
#include "fat16/Trace.h"
#include "iso/IsoDiskGeometry.h"
#include "isohdr/IsoHeaderResource.h"
#include "platform/DriveHandle.h"

#include <array>
#include <cerrno>
#include <exception>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

namespace pellorin {

bool g_bIsoBusy = false;

namespace {

namespace fs = std::filesystem;

// One whole write at a byte offset.
bool writeAt(CDriveHandle& file, std::uint64_t offset, std::span<const BYTE> data) {
    DWORD written = 0;
    return file.SetPointer(offset) && file.Write(data, written) && written == data.size();
}

// One whole read at a byte offset.
bool readAt(CDriveHandle& file, std::uint64_t offset, std::span<BYTE> data) {
    DWORD read = 0;
    return file.SetPointer(offset) && file.Read(data, read) && read == data.size();
}

void storeBE32(std::span<BYTE> bytes, std::size_t offset, DWORD value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<BYTE>(value >> (24 - 8 * i));
}

// Creates (or empties) the ISO file. Only a plain file is ever replaced: a directory, a device
// or a pipe of that name is left alone, so that an ISO path can never overwrite a disk.
std::unique_ptr<CFileHandle> createIsoFile(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        errno = fs::is_directory(status) ? EISDIR : EEXIST;
        return nullptr;
    }
    return CFileHandle::Open(path, CFileHandle::Mode::CreateAlways);
}

void showFailure(CIsoJobView& view) { view.ShowWarning(LoadStringText(IDS_ISO_CREATE_FAILED)); }

// The emulated disk's boot record as the ISO needs it: partition type 06 (FAT16 addressed by
// cylinder, head and sector, which the CD's hard-disk emulation serves), and B8 01 02 in place
// of the jump to the extended-read path, so the boot code reads through the CHS disk service.
bool patchBootRecord(CDriveHandle& file) {
    std::array<BYTE, 512> mbr{};
    if (!readAt(file, kIsoDiskOffset, mbr)) return false;
    mbr[kMbrFirstPartitionType] = 0x06;
    mbr[kMbrReadPathSelector] = 0xB8;
    mbr[kMbrReadPathSelector + 1] = 0x01;
    mbr[kMbrReadPathSelector + 2] = 0x02;
    return writeAt(file, kIsoDiskOffset, mbr);
}

// Enters the image's size in logical blocks (the file's length rounded up to 2048 bytes) into
// the primary volume descriptor, in both byte orders.
bool enterVolumeSpaceSize(CDriveHandle& file, std::uint64_t fileLength) {
    const auto blocks = static_cast<DWORD>((fileLength + kIsoBlockSize - 1) / kIsoBlockSize);
    std::array<BYTE, kIsoBlockSize> pvd{};
    if (!readAt(file, kIsoPrimaryDescriptorOffset, pvd)) return false;
    store32(pvd, kPvdVolumeSpaceSizeLE, blocks);
    storeBE32(pvd, kPvdVolumeSpaceSizeBE, blocks);
    return writeAt(file, kIsoPrimaryDescriptorOffset, pvd);
}

int runJob(const std::string& strTarget, const fs::path& payloadDirectory, CIsoJobView& view,
           const std::function<DWORD()>& tickCount) {
    g_bIsoBusy = true;

    // The payload is found before the file is created, so that the image can never be written
    // over one of its own payload files (nor take its own unfinished self as FLASH.*).
    const PayloadList payload = BuildPayloadList(payloadDirectory);
    for (const std::string& path : payload.paths) {
        std::error_code ec;
        if (fs::equivalent(path, strTarget, ec)) {
            showFailure(view);
            DebugPrint(1, "***ERROR*** [%s] is one of the payload files!\n", strTarget.c_str());
            return kWorkFailed;
        }
    }

    std::unique_ptr<CFileHandle> file = createIsoFile(strTarget);
    if (!file) {
        showFailure(view);
        DebugPrint(1, "***ERROR*** Could not open [%s]!\n", strTarget.c_str());
        return kWorkFailed;
    }

    const std::span<const BYTE> header = IsoHeaderTemplate();
    if (header.size() != kIsoDiskOffset || !writeAt(*file, 0, header)) {
        showFailure(view);
        DebugPrint(1, "***ERROR*** Read/Write mismatch!\n");
        return kWorkFailed;
    }

    g_bIsoBusy = true;
    view.SetProgressRange(0, 100);

    CIsoImageDisk disk(view);
    if (tickCount) disk.SetTickCountSource(tickCount);
    const DWORD cylinders = IsoDiskCylinders(payload.totalSize, payload.sizes);
    std::array<BYTE, 512> mbr{};
    std::array<BYTE, 512> pbr{};
    if (resource_MBR_size != mbr.size() || resource_FDOSPBR_size != pbr.size()) {
        showFailure(view);
        DebugPrint(1, "***ERROR*** Invalid parameter(s)!\n");
        return kWorkFailed;
    }
    std::copy_n(resource_MBR, mbr.size(), mbr.begin());
    std::copy_n(resource_FDOSPBR, pbr.size(), pbr.begin());
    if (!disk.AttachFile(file.get(), kIsoDiskOffset, kIsoBytesPerSector, kIsoSectorsPerTrack,
                         kIsoTracksPerCylinder, cylinders) ||
        !disk.Format(mbr.data(), pbr.data(), payload.files.c_str(), nullptr)) {
        showFailure(view);
        return kWorkFailed;
    }

    if (!g_bIsoBusy) {
        // Cancelled: the unfinished image goes.
        file.reset();
        std::error_code ec;
        if (!fs::remove(strTarget, ec) && ec) ReportError(strTarget.c_str(), static_cast<DWORD>(ec.value()));
        return kWorkCancelled;
    }

    std::error_code ec;
    const std::uintmax_t length = fs::file_size(strTarget, ec);
    if (ec || !patchBootRecord(*file) || !enterVolumeSpaceSize(*file, length)) {
        showFailure(view);
        DebugPrint(1, "***ERROR*** Read/Write mismatch!\n");
        return kWorkFailed;
    }
    return kWorkDone;
}

}  // namespace

int IsoProgress(CIsoJobView& view, DWORD dwTotal, DWORD dwDone) {
    if (!g_bIsoBusy) return 1;
    const DWORD percent = dwTotal == 0 ? 100 : dwDone * 100 / dwTotal;
    view.SetProgressPos(static_cast<int>(percent));
    view.SetStatusText(FormatPercentText(percent));
    view.PumpOneMessage();
    return 0;
}

BOOL CIsoImageDisk::OnProgress(DWORD dwTotal, DWORD dwDone, HWND) {
    return IsoProgress(m_view, dwTotal, dwDone);
}

int BuildIsoImage(const std::string& strTarget, const std::filesystem::path& payloadDirectory,
                  CIsoJobView& view, std::function<DWORD()> tickCount) {
    int result = kWorkFailed;
    try {
        result = runJob(strTarget, payloadDirectory, view, tickCount);
    } catch (const std::exception& e) {
        showFailure(view);
        DebugPrint(1, "%s\n", e.what());
    } catch (...) {
        showFailure(view);
    }
    g_bIsoBusy = false;
    return result;
}

}  // namespace pellorin
