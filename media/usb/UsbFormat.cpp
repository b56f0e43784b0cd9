#include "usb/UsbFormat.h"

#include "BootCode.h"
#include "TraceText.h"
#include "fat16/Fat16Disk.h"
#include "fat16/Trace.h"
#include "iso/IsoDiskGeometry.h"
#include "iso/IsoImageBuilder.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "support/RegistryItem.h"

#include "platform/FileFind.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <thread>
#include <vector>

namespace pellorin {

std::atomic<bool> g_bFormatBusy{false};

namespace fs = std::filesystem;

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[4096];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

std::string stringText(unsigned id) { return std::string(LoadStringText(id)); }

std::uint64_t fnv1a(std::span<const BYTE> data, std::uint64_t hash = 14695981039346656037ULL) {
    for (BYTE b : data) {
        hash ^= b;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Passes every call on to the disk's handle and remembers what was written where: a checksum of
// each written buffer, and the source file and offset of each copy made inside the kernel, so
// that every written region can be read back and compared afterwards.
class CRecordingHandle : public CDriveHandle {
public:
    struct Region {
        std::uint64_t offset;
        std::uint64_t size;
        std::uint64_t checksum;  // for buffers
        CFileHandle* source;     // for copies: a second handle on the source, else null
        std::uint64_t sourceOffset;
    };

    explicit CRecordingHandle(CDriveHandle* inner) : m_inner(inner) {}

    bool SetPointer(std::uint64_t offset) override {
        if (!m_inner->SetPointer(offset)) return false;
        m_position = offset;
        return true;
    }
    bool Write(std::span<const BYTE> data, DWORD& written) override {
        const bool ok = m_inner->Write(data, written);
        record(m_position, data.first(std::min<std::size_t>(written, data.size())));
        m_position += written;
        return ok;
    }
    bool Read(std::span<BYTE> data, DWORD& read) override {
        const bool ok = m_inner->Read(data, read);
        m_position += read;
        return ok;
    }
    bool WriteAt(std::uint64_t offset, std::span<const BYTE> data, DWORD& written) override {
        const bool ok = m_inner->WriteAt(offset, data, written);
        record(offset, data.first(std::min<std::size_t>(written, data.size())));
        return ok;
    }
    bool QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) override {
        return m_inner->QueryGeometry(geometry, diskSize);
    }
    bool CopyFrom(CFileHandle& source, std::uint64_t sourceOffset, std::uint64_t offset, std::size_t bytes,
                  std::size_t& copied) override {
        const bool ok = m_inner->CopyFrom(source, sourceOffset, offset, bytes, copied);
        if (copied > 0) {
            auto it = m_sources.find(&source);
            if (it == m_sources.end()) it = m_sources.emplace(&source, source.Duplicate()).first;
            m_regions.push_back({offset, copied, 0, it->second.get(), sourceOffset});
        }
        return ok;
    }

    const std::vector<Region>& Regions() const { return m_regions; }

private:
    void record(std::uint64_t offset, std::span<const BYTE> data) {
        if (!data.empty()) m_regions.push_back({offset, data.size(), fnv1a(data), nullptr, 0});
    }

    CDriveHandle* m_inner;
    std::uint64_t m_position = 0;
    std::vector<Region> m_regions;
    std::map<CFileHandle*, std::unique_ptr<CFileHandle>> m_sources;  // by the writer's handle
};

// The USB job's disk: progress goes to the view, whose pump serves the cancel.
class CUsbFormatDisk : public CFat16Disk {
public:
    explicit CUsbFormatDisk(CIsoJobView& view) : m_view(view) {}
    BOOL OnProgress(DWORD dwTotal, DWORD dwDone, void*) override {
        if (!g_bFormatBusy) return 1;
        const DWORD percent = dwTotal == 0 ? 100 : dwDone * 100 / dwTotal;
        m_view.SetProgressPos(static_cast<int>(percent));
        m_view.SetStatusText(FormatPercentText(percent));
        m_view.PumpOneMessage();
        return g_bFormatBusy ? 0 : 1;
    }

private:
    CIsoJobView& m_view;
};

// The name of the disk region that holds a sector.
std::string regionName(const Fat16Layout& layout, std::uint64_t sector) {
    if (sector < layout.S) return "boot track";
    if (sector < layout.fat1Start) return "boot sector";
    if (sector < layout.rootStart) return "FATs";
    if (sector < layout.dataStart) return "root directory";
    return "data clusters";
}

enum class ReadBack { Same, Differs, Unreadable, Cancelled };

// Reads every recorded region back from the disk and compares it, asking `bGoOn` before each
// MiB; on a difference or a failed read, `message` names the first such region (and the
// error of a failed read).
ReadBack verifyRegions(const CRecordingHandle& recorder, CDriveHandle& disk, DWORD bytesPerSector,
                       const Fat16Layout& layout, const std::function<bool()>& bGoOn, std::string& message) {
    std::vector<BYTE> buffer;
    std::vector<BYTE> source;
    for (const CRecordingHandle::Region& region : recorder.Regions()) {
        ReadBack outcome = ReadBack::Same;
        int error = 0;
        std::uint64_t hash = 14695981039346656037ULL;
        for (std::uint64_t done = 0; done < region.size && outcome == ReadBack::Same;) {
            if (!bGoOn()) return ReadBack::Cancelled;
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(region.size - done, 1U << 20));
            buffer.resize(chunk);
            DWORD read = 0;
            errno = 0;
            if (!disk.SetPointer(region.offset + done) || !disk.Read(buffer, read) || read != chunk) {
                // A read that ends early is the disk ending before its claimed size.
                error = errno != 0 ? errno : ENXIO;
                outcome = ReadBack::Unreadable;
                break;
            }
            if (region.source != nullptr) {
                source.resize(chunk);
                DWORD got = 0;
                if (!region.source->ReadAt(region.sourceOffset + done, source, got) || got != chunk ||
                    source != buffer)
                    outcome = ReadBack::Differs;
            } else {
                hash = fnv1a(buffer, hash);
            }
            done += chunk;
        }
        if (outcome == ReadBack::Same && region.source == nullptr && hash != region.checksum) outcome = ReadBack::Differs;
        if (outcome != ReadBack::Same) {
            const std::uint64_t first = region.offset / bytesPerSector;
            const std::uint64_t last = (region.offset + region.size - 1) / bytesPerSector;
            if (outcome == ReadBack::Unreadable) {
                DebugPrint(1, text::kReadBackFailed,
                           static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
                ReportError("read", static_cast<DWORD>(error));
                char reason[256];
                GetErrorText(static_cast<DWORD>(error), reason, sizeof reason);
                message = format(usbtext::kVerifyReadFailed, regionName(layout, first).c_str(),
                                 static_cast<unsigned long long>(first), static_cast<unsigned long long>(last), reason);
            } else {
                DebugPrint(1, text::kReadBackDiffers,
                           static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
                message = format(usbtext::kVerifyMismatch, regionName(layout, first).c_str(),
                                 static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
            }
            return outcome;
        }
    }
    return ReadBack::Same;
}

// The open payload file is still the file its path names, with the size it had when checked.
bool payloadUnchanged(CFileHandle& file, const std::string& path, std::uint64_t size) {
    std::uint64_t now = 0;
    return file.IsNamed(path) && file.Size(now) && now == size;
}

// The disk's sectors, and the least size of a FAT16 disk (8,400 sectors and fewer are refused).
constexpr DWORD kSectorBytes = 512;
constexpr std::uint64_t kLeastDiskBytes = std::uint64_t{8401} * kSectorBytes;
// An image file stands for a disk with the geometry a BIOS gives a large drive, in whole cylinders.
constexpr DWORD kImageHeads = 255, kImageSectors = 63;
constexpr std::uint64_t kImageCylinderBytes = std::uint64_t{kImageHeads} * kImageSectors * kSectorBytes;

int refuseSectorSize(CIsoJobView& view, const std::string& device, unsigned sectorSize) {
    DebugPrint(1, "***ERROR*** %s has %u-byte logical sectors; the disk must have 512-byte sectors!\n",
               device.c_str(), sectorSize);
    view.ShowWarning(stringText(IDS_USB_WRITE_FAILED) + format(usbtext::kSectorSize, device.c_str(), sectorSize));
    return kWorkFailed;
}

// A disk that the volume writer refuses (too small, or too small for the payload), said with
// string 3 and the sizes.
int refuseFormat(CIsoJobView& view, FormatRefusal why, const std::string& device, std::uint64_t diskBytes,
                 std::uint64_t payloadBytes, std::uint64_t leastBytes = kLeastDiskBytes) {
    if (why == FormatRefusal::DiskTooSmall) {
        DebugPrint(1, "***ERROR*** %s (%llu bytes) is too small for a FAT16 disk!\n", device.c_str(),
                   static_cast<unsigned long long>(diskBytes));
        view.ShowWarning(stringText(IDS_USB_WRITE_FAILED) + format(usbtext::kDiskTooSmall, device.c_str(),
                                                             static_cast<unsigned long long>(diskBytes),
                                                             static_cast<unsigned long long>(leastBytes)));
    } else {
        DebugPrint(1, "***ERROR*** The payload (%llu bytes) does not fit on %s (%llu bytes)!\n",
                   static_cast<unsigned long long>(payloadBytes), device.c_str(),
                   static_cast<unsigned long long>(diskBytes));
        view.ShowWarning(stringText(IDS_USB_WRITE_FAILED) + format(usbtext::kPayloadTooLarge,
                                                             static_cast<unsigned long long>(payloadBytes),
                                                             device.c_str(), static_cast<unsigned long long>(diskBytes)));
    }
    return kWorkFailed;
}

int runJob(const UsbFormatRequest& request, CUsbPlatform& platform, CIsoJobView& view) {
    const std::string& device = request.device;
    const auto failOpen = [&](const char* trace, const std::string& extra = {}) {
        view.ShowWarning(stringText(IDS_USB_OPEN_FAILED) + extra);
        DebugPrint(1, trace, device.c_str());
        return kWorkFailed;
    };

    // The payload is found, opened and sized before anything is unmounted or written, and the
    // format copies from these descriptors: what was checked is what is written.
    const PayloadList payload = BuildPayloadList(request.payloadDirectory);
    if (!payload.unusable.empty()) {
        const auto& first = payload.unusable.front();
        view.ShowWarning(format(usbtext::kPayloadUnreadable, first.path.c_str(), first.reason.c_str()));
        return kWorkFailed;
    }
    std::vector<std::unique_ptr<CFileHandle>> files;
    for (std::size_t i = 0; i < payload.paths.size(); ++i) {
        std::unique_ptr<CFileHandle> file = CFileHandle::OpenRegularFile(payload.paths[i]);
        std::uint64_t size = 0;
        if (!file || !file->Size(size) || size != payload.sizes[i]) {
            char reason[256];
            GetErrorText(file ? static_cast<DWORD>(ESTALE) : GetLastError(), reason, sizeof reason);
            view.ShowWarning(format(usbtext::kPayloadUnreadable, payload.paths[i].c_str(), reason));
            return kWorkFailed;
        }
        files.push_back(std::move(file));
    }
    const bool kernel = std::any_of(payload.paths.begin(), payload.paths.end(), [&](const std::string& path) {
        std::string name = fs::path(path).filename().string();
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const std::size_t i = static_cast<std::size_t>(&path - payload.paths.data());
        return name == "KERNEL.SYS" && payload.sizes[i] > 0;
    });
    if (!kernel) {
        DebugPrint(1, text::kNoKernel);
        view.ShowWarning(format(usbtext::kNoKernel, request.payloadDirectory.string().c_str()));
        return kWorkFailed;
    }
    // A refusal that the volume writer would make too, said before anything is unmounted: string 3
    // with the reason.
    const auto refuse = [&](const std::string& reason) {
        view.ShowWarning(stringText(IDS_USB_WRITE_FAILED) + reason);
        return kWorkFailed;
    };
    for (std::size_t i = 0; i < payload.paths.size(); ++i) {
        if (payload.sizes[i] > kLargestFat16File) {
            DebugPrint(1, "***ERROR*** %s (%llu bytes) is larger than a FAT16 disk holds!\n", payload.paths[i].c_str(),
                       static_cast<unsigned long long>(payload.sizes[i]));
            return refuse(format(usbtext::kFileTooLargeForFat16, payload.paths[i].c_str(),
                                 static_cast<unsigned long long>(payload.sizes[i]),
                                 static_cast<unsigned long long>(kLargestFat16File)));
        }
    }

    // The disk is looked at again (it may have gone, or changed, since it was chosen), now with
    // every payload file protected as well as its folder.
    SystemViews views = platform.Views();
    views.protectedPaths.push_back(request.payloadDirectory);
    views.protectedPaths.insert(views.protectedPaths.end(), payload.paths.begin(), payload.paths.end());
    std::optional<DriveInfo> drive = FindDrive(views, device);
    if (!drive) return failOpen(text::kCouldNotOpen, WithErrorDetail("", device, ENODEV));
    if (drive->systemDisk) {
        view.ShowWarning(format(usbtext::kNotFormattable, device.c_str(), drive->reason.c_str()));
        return kWorkFailed;
    }
    if (!drive->usb) {
        view.ShowWarning(stringText(IDS_NOT_A_USB_DEVICE));
        return kWorkFailed;
    }
    // What the kernel tells of the disk already settles these, before it is unmounted.
    if (drive->logicalSectorSize != 0 && drive->logicalSectorSize != kSectorBytes)
        return refuseSectorSize(view, drive->devicePath, drive->logicalSectorSize);
    if (drive->sizeBytes != 0 && drive->sizeBytes < kLeastDiskBytes)
        return refuseFormat(view, FormatRefusal::DiskTooSmall, drive->devicePath, drive->sizeBytes, payload.totalSize);
    if (drive->sizeBytes != 0 && payload.totalSize > drive->sizeBytes)
        return refuseFormat(view, FormatRefusal::NoSpace, drive->devicePath, drive->sizeBytes, payload.totalSize);
    for (const std::string& missing : payload.missing) view.ShowMissingPayload(missing);

    // Every mounted partition leaves the system's hands; one that stays mounted would write
    // back over the new layout, so then nothing is written.
    for (const MountedPartition& mount : drive->mounts) {
        if (!platform.Unmount(mount.mountPoint)) {
            DebugPrint(1, text::kCouldNotDismount, mount.mountPoint.c_str());
            ReportError("umount", GetLastError());
        }
    }
    drive = FindDrive(views, device);
    if (!drive) return failOpen(text::kCouldNotOpen, WithErrorDetail("", device, ENODEV));
    if (drive->systemDisk) {
        view.ShowWarning(format(usbtext::kNotFormattable, device.c_str(), drive->reason.c_str()));
        return kWorkFailed;
    }
    if (!drive->mounts.empty()) {
        return failOpen(text::kCouldNotDismount,
                        format(usbtext::kStillMounted, drive->mounts.front().mountPoint.c_str()));
    }

    std::unique_ptr<CFileHandle> handle = platform.OpenExclusive(drive->devicePath);
    if (!handle) {
        const int code = errno;
        const std::string extra = code == EACCES || code == EPERM
                                      ? format(usbtext::kNoPermission, GroupOwning(drive->devicePath).c_str())
                                      : WithErrorDetail("", drive->devicePath, code);
        view.ShowWarning(stringText(IDS_USB_OPEN_FAILED) + extra);
        DebugPrint(1, text::kNoPhysicalDevice, drive->devicePath.c_str());
        ReportError("open", static_cast<DWORD>(code));
        return kWorkFailed;
    }

    g_bFormatBusy = true;
    view.SetProgressRange(0, 100);
    // A cancel confirmed while the disk was being prepared stops the job before its first write.
    view.PumpOneMessage();
    if (!g_bFormatBusy) return kWorkCancelled;

    // String 3; `extra` says what went wrong, else the disk and the system's reason `code`.
    const auto failWrite = [&](const std::string& extra = {}, int code = 0) {
        const std::string detail = !extra.empty() ? extra : code != 0 ? WithErrorDetail("", drive->devicePath, code) : "";
        view.ShowWarning(stringText(IDS_USB_WRITE_FAILED) + detail);
        DebugPrint(1, text::kUsbWriteFailed);
        g_bFormatBusy = false;
        return kWorkFailed;
    };

    CDriveHandle* target = platform.WrapHandle(*handle);
    CRecordingHandle recorder(target);
    CUsbFormatDisk disk(view);
    if (request.tickCount) disk.SetTickCountSource(request.tickCount);
    const bool block = handle->IsBlockDevice();
    BOOL bound = FALSE;
    errno = 0;  // the writer's own refusals leave no error number
    if (block) {
        bound = disk.Open(&recorder);
    } else {
        // An image file stands for a disk with the geometry a BIOS gives a large drive. One of
        // no whole cylinder is refused here: the volume writer would take a disk without
        // cylinders for one to be sized to its files, and lengthen the file.
        std::uint64_t bytes = 0;
        if (handle->Size(bytes) && bytes < kImageCylinderBytes) {
            g_bFormatBusy = false;
            return refuseFormat(view, FormatRefusal::DiskTooSmall, drive->devicePath, bytes, payload.totalSize,
                                kImageCylinderBytes);
        }
        bound = handle->Size(bytes) &&
                disk.AttachFile(&recorder, 0, kSectorBytes, kImageSectors, kImageHeads,
                                static_cast<DWORD>(bytes / kImageCylinderBytes));
    }
    if (!bound) return failWrite({}, errno);
    // The device's own answer, for a disk whose sysfs entry did not say.
    if (disk.Geometry().BytesPerSector != kSectorBytes) {
        g_bFormatBusy = false;
        return refuseSectorSize(view, drive->devicePath, disk.Geometry().BytesPerSector);
    }

    // A payload file that was removed, replaced or resized since it was checked (while the
    // disk was being unmounted) fails the format before its first write.
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!payloadUnchanged(*files[i], payload.paths[i], payload.sizes[i])) {
            DebugPrint(1, text::kPayloadChanged, payload.paths[i].c_str());
            return failWrite(format(usbtext::kPayloadChanged, payload.paths[i].c_str()));
        }
    }
    disk.UseOpenFiles(std::move(files), payload.sizes);

    std::array<BYTE, 512> mbr{};
    std::array<BYTE, 512> pbr{};
    if (resource_MBR_size != mbr.size() || resource_FDOSPBR_size != pbr.size()) return failWrite();
    std::copy_n(resource_MBR, mbr.size(), mbr.begin());
    std::copy_n(resource_FDOSPBR, pbr.size(), pbr.begin());
    errno = 0;
    view.BeginWriting();
    if (!disk.Format(mbr.data(), pbr.data(), payload.files.c_str())) {
        if (disk.Refusal() == FormatRefusal::None || disk.Refusal() == FormatRefusal::Other) return failWrite({}, errno);
        g_bFormatBusy = false;
        if (disk.Refusal() == FormatRefusal::SectorSize)
            return refuseSectorSize(view, drive->devicePath, disk.Geometry().BytesPerSector);
        // The size the writer saw: the device's, or the image file's.
        std::uint64_t bytes = 0;
        if (block || !handle->Size(bytes)) bytes = disk.TotalSectors() * disk.Geometry().BytesPerSector;
        return refuseFormat(view, disk.Refusal(), drive->devicePath, bytes, payload.totalSize);
    }

    // Nothing counts as written before it is on the device. The flush and the read-back take
    // long on a large payload, so the cancel stays live through both.
    const auto goOn = [&view] {
        if (!g_bFormatBusy) return false;
        view.PumpOneMessage();
        return g_bFormatBusy.load();
    };
    if (g_bFormatBusy) {
        view.SetStatusText(usbtext::kFlushing);
        if (!platform.Flush(*handle, goOn) && g_bFormatBusy) {
            const int code = static_cast<int>(GetLastError());
            ReportError("flush", static_cast<DWORD>(code));
            return failWrite({}, code);
        }
    }
    // The start of the read-back is the commit: a cancel confirmed before it stops the job, one
    // after it is too late, and the result is what the read-back finds.
    if (g_bFormatBusy) view.BeginCommit();
    const bool cancelled = !g_bFormatBusy;
    if (!cancelled && request.verify) {
        view.SetStatusText(usbtext::kVerifying);
        const auto serve = [&view] {
            view.PumpOneMessage();
            return true;
        };
        std::string message;
        const ReadBack readBack = verifyRegions(recorder, *target, disk.Geometry().BytesPerSector, disk.Layout(),
                                                serve, message);
        if (readBack == ReadBack::Differs || readBack == ReadBack::Unreadable) return failWrite(message);
    }

    // The kernel reads the new partition table; when it refuses, the disk alone is deleted and
    // found again on its host.
    const bool reread = platform.RereadPartitionTable(*handle);
    if (!reread) {
        DebugPrint(1, text::kCouldNotReenum, drive->devicePath.c_str());
        ReportError("BLKRRPART", GetLastError());
    }
    handle.reset();
    if (!reread) platform.RemoveAndRescan(drive->name);
    if (block) platform.Settle(drive->name);

    return cancelled ? kWorkCancelled : kWorkDone;
}

}  // namespace

bool CUsbPlatform::Unmount(const std::string& mountPoint) { return UnmountFileSystem(mountPoint); }

std::unique_ptr<CFileHandle> CUsbPlatform::OpenExclusive(const std::string& devicePath) {
    return CFileHandle::OpenExclusive(devicePath);
}

bool CUsbPlatform::Flush(CFileHandle& handle, const std::function<bool()>& bGoOn) {
    if (!handle.FlushInSteps(bGoOn)) return false;
    if (handle.IsBlockDevice()) return handle.FlushDeviceBuffers();
    // An image file: the read-back should come from the file, not the page cache.
    handle.DropCache();
    return true;
}

bool CUsbPlatform::RereadPartitionTable(CFileHandle& handle) {
    if (!handle.IsBlockDevice()) return true;
    return handle.RereadPartitionTable();
}

bool CUsbPlatform::RemoveAndRescan(const std::string& diskName) {
    const std::optional<ScsiPlace> place = FindScsiPlace(m_views.sysfsRoot, diskName);
    if (!place) {
        DebugPrint(1, "ERROR@FindScsiPlace - (%s)", diskName.c_str());
        return false;
    }
    if (!RemoveScsiDevice(m_views.sysfsRoot, *place)) return false;
    return RescanScsiDevice(m_views.sysfsRoot, *place);
}

void CUsbPlatform::Settle(const std::string& diskName) {
    // A tree other than the kernel's own (a test's) never changes by itself.
    if (m_views.sysfsRoot != "/sys") return;
    if (std::system("udevadm settle --timeout=10 >/dev/null 2>&1") == 0) return;
    const bool digit = !diskName.empty() && std::isdigit(static_cast<unsigned char>(diskName.back()));
    const fs::path first = m_views.sysfsRoot / "block" / diskName / (diskName + (digit ? "p1" : "1"));
    for (int i = 0; i < 50; ++i) {
        std::error_code ec;
        if (fs::exists(first, ec)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

namespace {

// The whole disk that holds partition `name` ("sdb" for "sdb1"); empty when `name` is no
// partition the kernel lists.
std::string diskOfPartition(const SystemViews& views, const std::string& name) {
    std::error_code ec;
    for (fs::directory_iterator it(views.sysfsRoot / "block", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code inner;
        if (fs::exists(it->path() / name / "partition", inner)) return it->path().filename().string();
    }
    return {};
}

}  // namespace

bool CheckUsbDrive(const std::string& device, const SystemViews& views, std::string& message) {
    // A persistent link names the disk it points to.
    const std::optional<DriveInfo> drive = FindDrive(views, device);
    std::error_code ec;
    const fs::path real = device.find('/') != std::string::npos ? fs::canonical(device, ec) : fs::path(device);
    const std::string name = drive ? drive->name : (ec ? fs::path(device) : real).filename().string();
    // A partition is not a disk that can be formatted from its first sector on: the whole disk
    // must be chosen.
    if (!drive && !name.empty()) {
        if (const std::string disk = diskOfPartition(views, name); !disk.empty()) {
            DebugPrint(1, "***ERROR*** [%s] is a partition of %s; choose the whole disk!\n", device.c_str(),
                       disk.c_str());
            message = stringText(IDS_NOT_A_USB_DEVICE);
            return false;
        }
    }
    CSysfsRegistryStore store(views.sysfsRoot);
    COXRegistryItem item(store, kMountedDevicesKey);
    std::vector<BYTE> data;
    if (name.empty() || !item.GetBinaryValue(data, MountedDeviceValueName(name)) || !drive) {
        message = stringText(IDS_NETWORK_DRIVE);
        return false;
    }
    if (drive->systemDisk) {
        message = format(usbtext::kNotFormattable, drive->devicePath.c_str(), drive->reason.c_str());
        return false;
    }
    if (!drive->usb) {
        message = stringText(IDS_NOT_A_USB_DEVICE);
        return false;
    }
    // A card reader without a medium reports no size and cannot be opened at all: like any
    // volume that cannot be opened for the query, it is not taken for a USB flash device.
    if (drive->sizeBytes == 0) {
        DebugPrint(1, "***ERROR*** [%s] has no medium!\n", drive->devicePath.c_str());
        message = stringText(IDS_NOT_A_USB_DEVICE);
        return false;
    }
    return true;
}

int FormatUsbDrive(const UsbFormatRequest& request, CUsbPlatform& platform, CIsoJobView& view) {
    int result = kWorkFailed;
    try {
        result = runJob(request, platform, view);
    } catch (const std::exception& e) {
        view.ShowWarning(stringText(IDS_USB_WRITE_FAILED));
        DebugPrint(1, text::kUsbWriteFailed);
        DebugPrint(1, "%s\n", e.what());
    } catch (...) {
        view.ShowWarning(stringText(IDS_USB_WRITE_FAILED));
        DebugPrint(1, text::kUsbWriteFailed);
    }
    g_bFormatBusy = false;
    return result;
}

}  // namespace pellorin
