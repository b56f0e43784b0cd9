#include "front/DeviceDump.h"

#include "disk/DiskDevice.h"
#include "front/StringTable.h"
#include "platform/Console.h"

#include <cstdio>

namespace dorvix {

void dumpDevices() { dumpDevices(defaultDeviceProvider()); }

void dumpDevices(DeviceProvider& provider) {
    DiskDevice disk(provider);
    char line[128];
    for (int n = 1; n <= 9; ++n) {
        if (disk.Open(static_cast<std::uint8_t>(n))) {
            std::snprintf(line, sizeof line, text::kDumpDevice, n, disk.totalSectors, disk.bytesPerSector,
                          disk.cylinders, disk.heads, disk.sectorsPerTrack);
        } else {
            std::snprintf(line, sizeof line, text::kDumpNoDevice, n);
        }
        consoleWrite(line);
    }
    disk.Close();
}

}  // namespace dorvix
