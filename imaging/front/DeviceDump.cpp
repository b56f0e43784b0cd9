#include "front/DeviceDump.h"

#include "disk/DiskDevice.h"
#include "front/StringTable.h"
#include "platform/Console.h"
#include "platform/DiskDescription.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string>

namespace dorvix {

namespace {

struct Geometry {
    std::uint32_t cylinders, heads, sectorsPerTrack;
};

std::string sizeText(const std::optional<std::uint64_t>& bytes) {
    if (!bytes) {
        return "size unknown";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%llu bytes (%.1f GiB)", static_cast<unsigned long long>(*bytes),
                  static_cast<double>(*bytes) / (1024.0 * 1024.0 * 1024.0));
    return text;
}

}  // namespace

void dumpDevices() { dumpDevices(defaultDeviceProvider()); }

void dumpDevices(DeviceProvider& provider) {
    // Listing only: no disk is opened for writing.
    provider.openReadOnly();
    DiskDevice disk(provider);
    std::array<std::optional<Geometry>, 10> opened;
    char line[512];
    for (int n = 1; n <= 9; ++n) {
        if (disk.Open(static_cast<std::uint8_t>(n))) {
            std::snprintf(line, sizeof line, text::kDumpDevice, n, disk.totalSectors, disk.bytesPerSector,
                          disk.cylinders, disk.heads, disk.sectorsPerTrack);
            opened[static_cast<std::size_t>(n)] = Geometry{disk.cylinders, disk.heads, disk.sectorsPerTrack};
        } else {
            std::snprintf(line, sizeof line, text::kDumpNoDevice, n);
        }
        consoleWrite(line);
    }
    disk.Close();

    const std::string origin = provider.origin();
    if (origin.empty()) {
        return;
    }
    std::snprintf(line, sizeof line, text::kDumpOrigin, origin.c_str());
    consoleWrite(line);
    for (int n = 1; n <= 9; ++n) {
        const std::string path = provider.backingPath(static_cast<std::uint8_t>(n));
        if (path.empty()) {
            continue;
        }
        const DiskDescription d = describeDisk(path);
        const auto& g = opened[static_cast<std::size_t>(n)];
        if (g) {
            const bool hasModel = !d.model.empty();
            std::snprintf(line, sizeof line, text::kDumpDetail, n, path.c_str(), d.kind.c_str(),
                          hasModel ? ", " : "", hasModel ? d.model.c_str() : "", sizeText(d.sizeBytes).c_str(),
                          g->cylinders, g->heads, g->sectorsPerTrack);
        } else {
            std::snprintf(line, sizeof line, text::kDumpDetailClosed, n, path.c_str(), d.kind.c_str());
        }
        consoleWrite(line);
    }
}

}  // namespace dorvix
