#include "iso/IsoImageBuilder.h"

#include "BootCode.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "fat16/ByteOrder.h"
#include "fat16/DiskRecords.h"
#include "fat16/Trace.h"
#include "iso/IsoDiskGeometry.h"
#include "isohdr/IsoHeaderResource.h"
#include "platform/DriveHandle.h"
#include "platform/OutputFile.h"
#include "TraceText.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
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
bool writeAt(CFileHandle& file, std::uint64_t offset, std::span<const BYTE> data) {
    DWORD written = 0;
    if (file.WriteAt(offset, data, written) && written == data.size()) return true;
    if (errno == 0) errno = EIO;
    return false;
}

// One whole read at a byte offset.
bool readAt(CFileHandle& file, std::uint64_t offset, std::span<BYTE> data) {
    DWORD read = 0;
    if (file.ReadAt(offset, data, read) && read == data.size()) return true;
    if (read != data.size()) errno = EIO;
    return false;
}

std::string errorText(int code) {
    char text[256];
    GetErrorText(static_cast<DWORD>(code), text, sizeof text);
    return text;
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[4096];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// String 10, and on a second paragraph the file and the reason when they are known.
void showFailure(CIsoJobView& view, const std::string& path = {}, int code = 0) {
    view.ShowWarning(code != 0 ? WithErrorDetail(LoadStringText(IDS_ISO_CREATE_FAILED), path, code)
                               : std::string(LoadStringText(IDS_ISO_CREATE_FAILED)));
}

// The emulated disk's boot record as the ISO needs it: partition type 06 (FAT16 addressed by
// cylinder, head and sector, which the CD's hard-disk emulation serves), and B8 01 02 in place
// of the jump to the extended-read path, so the boot code reads through the CHS disk service.
bool patchBootRecord(CFileHandle& file) {
    std::array<BYTE, mbr::kSize> record{};
    if (!readAt(file, kIsoDiskOffset, record)) return false;
    record[mbr::kFirstPartitionType] = mbr::partition::kTypeFat16Chs;
    record[kMbrReadPathSelector] = 0xB8;
    record[kMbrReadPathSelector + 1] = 0x01;
    record[kMbrReadPathSelector + 2] = 0x02;
    return writeAt(file, kIsoDiskOffset, record);
}

// Ends the image on a whole 2048-byte block (a CD reader serves whole blocks only, so the
// disk's last sectors must lie in a block of the file), and enters its size in blocks into the
// primary volume descriptor, in both byte orders.
bool finishVolume(CFileHandle& file) {
    std::uint64_t length = 0;
    if (!file.Size(length)) return false;
    constexpr std::size_t kBlock = isorecords::kBlockSize;
    const std::uint64_t padded = (length + kBlock - 1) / kBlock * kBlock;
    if (padded > length) {
        const std::vector<BYTE> zeros(padded - length, 0);
        if (!writeAt(file, length, zeros)) return false;
    }
    const auto blocks = static_cast<DWORD>(padded / kBlock);
    std::array<BYTE, kBlock> pvd{};
    if (!readAt(file, isorecords::kPrimaryDescriptorOffset, pvd)) return false;
    storeBoth32(pvd, isorecords::kPvdVolumeSpaceSize, blocks);
    return writeAt(file, isorecords::kPrimaryDescriptorOffset, pvd);
}

bool isKernel(const std::string& path) {
    std::string name = fs::path(path).filename().string();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name == "KERNEL.SYS";
}

// Everything that can be known about the payload and the target is checked here, before the
// output is created; a refusal names its reason (not space or permissions) and touches nothing.
bool checkPayload(const PayloadList& payload, const std::string& strTarget, const fs::path& payloadDirectory,
                  CIsoJobView& view, DWORD& cylinders) {
    if (!payload.unusable.empty()) {
        const auto& first = payload.unusable.front();
        view.ShowWarning(format(isotext::kPayloadUnreadable, first.path.c_str(), first.reason.c_str()));
        return false;
    }
    bool kernel = false;
    for (std::size_t i = 0; i < payload.paths.size(); ++i) {
        if (isKernel(payload.paths[i]) && payload.sizes[i] > 0) kernel = true;
    }
    if (!kernel) {
        DebugPrint(1, text::kNoKernel);
        view.ShowWarning(format(isotext::kNoKernel, payloadDirectory.string().c_str()));
        return false;
    }
    for (const std::string& path : payload.paths) {
        std::error_code ec;
        if (fs::equivalent(path, strTarget, ec)) {
            DebugPrint(1, text::kIsPayloadFile, strTarget.c_str());
            view.ShowWarning(format(isotext::kTargetIsPayload, strTarget.c_str()));
            return false;
        }
    }
    for (std::size_t i = 0; i < payload.paths.size(); ++i) {
        if (payload.sizes[i] > kLargestFat16File) {
            DebugPrint(1, text::kFileTooBig, payload.paths[i].c_str(),
                       static_cast<unsigned long long>(payload.sizes[i]));
            view.ShowWarning(format(isotext::kFileTooLargeForFat16, payload.paths[i].c_str(),
                                    static_cast<unsigned long long>(payload.sizes[i]),
                                    static_cast<unsigned long long>(kLargestFat16File)));
            return false;
        }
    }
    cylinders = IsoDiskCylinders(payload.totalSize, payload.sizes);
    if (cylinders > kIsoMaxCylinders) {
        DebugPrint(1, text::kBeyondCdLimit, cylinders,
                   kIsoMaxCylinders);
        view.ShowWarning(format(isotext::kBeyondCdLimit, cylinders, kIsoMaxCylinders));
        return false;
    }
    return true;
}

int runJob(const std::string& strTarget, const fs::path& payloadDirectory, CIsoJobView& view,
           const std::function<DWORD()>& tickCount) {
    g_bIsoBusy = true;

    // The payload is found and checked before the output is created, so that the image can
    // never be written over one of its own payload files, nor a refusal cost an existing image.
    const PayloadList payload = BuildPayloadList(payloadDirectory);
    DWORD cylinders = 0;
    if (!checkPayload(payload, strTarget, payloadDirectory, view, cylinders)) return kWorkFailed;
    for (const std::string& missing : payload.missing) view.ShowMissingPayload(missing);

    // Only a plain file or a link is ever replaced: a directory, a device or a pipe of that name
    // is left alone, so that an ISO path can never overwrite a disk. A link is itself replaced by
    // the new image (the rename takes its name) and nothing is written through it.
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(strTarget, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status) && !fs::is_symlink(status)) {
        const int code = fs::is_directory(status) ? EISDIR : EEXIST;
        showFailure(view, strTarget, code);
        DebugPrint(1, text::kCouldNotOpen, strTarget.c_str());
        ReportError("open", static_cast<DWORD>(code));
        return kWorkFailed;
    }
    const std::string& realTarget = strTarget;
    std::unique_ptr<COutputFile> output = COutputFile::Create(realTarget);
    if (!output) {
        const int code = errno;
        showFailure(view, strTarget, code);
        DebugPrint(1, text::kCouldNotOpen, strTarget.c_str());
        ReportError("open", static_cast<DWORD>(code));
        return kWorkFailed;
    }
    CFileHandle& file = output->Handle();

    const std::span<const BYTE> header = IsoHeaderTemplate();
    if (header.size() != kIsoDiskOffset || !writeAt(file, 0, header)) {
        const int code = errno;
        showFailure(view, strTarget, code);
        DebugPrint(1, text::kReadWriteMismatch, errorText(code).c_str());
        return kWorkFailed;
    }

    g_bIsoBusy = true;
    view.SetProgressRange(0, 100);

    CIsoImageDisk disk(view);
    if (tickCount) disk.SetTickCountSource(tickCount);
    std::array<BYTE, 512> mbr{};
    std::array<BYTE, 512> pbr{};
    if (resource_MBR_size != mbr.size() || resource_FDOSPBR_size != pbr.size()) {
        showFailure(view);
        DebugPrint(1, text::kInvalidParameters);
        return kWorkFailed;
    }
    std::copy_n(resource_MBR, mbr.size(), mbr.begin());
    std::copy_n(resource_FDOSPBR, pbr.size(), pbr.begin());
    errno = 0;  // a refusal of the writer's own checks leaves no error number
    if (!disk.AttachFile(&file, kIsoDiskOffset, kIsoBytesPerSector, kIsoSectorsPerTrack, kIsoTracksPerCylinder,
                         cylinders) ||
        !disk.Format(mbr.data(), pbr.data(), payload.files.c_str())) {
        showFailure(view, strTarget, errno);
        return kWorkFailed;
    }

    if (!g_bIsoBusy) {
        return kWorkCancelled;  // the unfinished image goes with its temporary file
    }

    if (!patchBootRecord(file) || !finishVolume(file)) {
        const int code = errno;
        showFailure(view, strTarget, code);
        DebugPrint(1, text::kReadWriteMismatch, errorText(code).c_str());
        return kWorkFailed;
    }
    // The flush is most of the run for a large image, so the cancel stays live through it.
    view.SetStatusText(isotext::kFlushing);
    const auto goOn = [&view] {
        view.PumpOneMessage();
        return g_bIsoBusy;
    };
    // The rename is the commit: a cancel confirmed before it keeps the old image, one after it
    // is too late, and the result is the image written.
    const auto beginRename = [&view] {
        view.BeginCommit();
        return g_bIsoBusy;
    };
    if (!output->Commit(goOn, beginRename)) {
        const int code = errno;
        if (!g_bIsoBusy) return kWorkCancelled;  // the old image stays; the new one goes

        showFailure(view, strTarget, code);
        DebugPrint(1, text::kCouldNotFinish, strTarget.c_str(), errorText(code).c_str());
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

BOOL CIsoImageDisk::OnProgress(DWORD dwTotal, DWORD dwDone, void*) {
    return IsoProgress(m_view, dwTotal, dwDone);
}

int BuildIsoImage(const std::string& strTarget, const std::filesystem::path& payloadDirectory,
                  CIsoJobView& view, std::function<DWORD()> tickCount) {
    int result = kWorkFailed;
    try {
        result = runJob(strTarget, payloadDirectory, view, tickCount);
    } catch (const std::exception& e) {
        view.ShowWarning(WithDetail(LoadStringText(IDS_ISO_CREATE_FAILED), strTarget, e.what()));
        DebugPrint(1, "%s\n", e.what());
    } catch (...) {
        showFailure(view);
    }
    g_bIsoBusy = false;
    return result;
}

}  // namespace pellorin
