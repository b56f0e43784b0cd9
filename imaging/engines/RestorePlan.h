#pragma once
// The FAT-aware restore's plan: every check and computation it makes from the image before the
// first write to the target disk, in the order it makes them. The image header and MBR, the
// layout for the disk, the FAT ID of each FAT copy, the new FAT and every rewritten directory
// are built from the image file alone; a refusal is reported to the operator here, while the
// disk still holds what it held. The restore (FatRestore.cpp) runs it and then only writes what
// the plan holds; the fuzz targets run the same plan over images in memory.

#include "fat/RestoreLayout.h"
#include "platform/Operator.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace dorvix {

class ImageFile;

// A directory rewritten in the target's form, waiting for the write phase: the sectors from
// `firstSector` up to the directory's last entry.
struct PlannedWrite {
    std::uint32_t firstSector = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
};

// The target as the plan needs it, and the restore's own steps that come between the plan's.
struct RestoreTarget {
    TargetGeometry geometry;
    std::uint64_t totalSectors = 0;  // an image of more sectors does not fit
    bool mbrCodeGiven = false;       // the new MBR gets its boot code from a file
    std::uint32_t serialNumber = 0;  // of the new volume
    bool checkBios = true;           // a header's target-BIOS list must name this device
    // Asked when the layout for `geometry` is refused or puts the first FAT before sector 32
    // (where every image expects it or later): the geometry to lay the volume out for instead,
    // or none to keep the first answer.
    std::function<std::optional<TargetGeometry>()> otherGeometry;
    // Completes the new MBR and boot sector once the layout stands (their boot code), before
    // anything more is read; false refuses the restore, after reporting why.
    std::function<bool(RestoreLayout&)> completeLayout;
};

enum class PlanOutcome {
    Refused,    // reported to the operator; nothing may be written
    FlatImage,  // the header announces a flat image, which is not planned here (nothing reported)
    Planned,    // layout(), fat(), bootArea() and directories() are what the disk is to receive
};

class RestorePlan {
public:
    // `length` is the length of the image file, a multiple of 512 bytes.
    RestorePlan(ProgressWindow window, ImageFile& image, std::uint64_t length);

    PlanOutcome plan(const RestoreTarget& target);

    RestoreLayout& layout() { return m_layout; }
    const RestoreLayout& layout() const { return m_layout; }
    // One copy of the new FAT.
    const std::vector<std::uint8_t>& fat() const { return m_fat; }
    // The reserved sectors of the new partition: its boot sector, then zeros up to the first FAT.
    const std::vector<std::uint8_t>& bootArea() const { return m_bootArea; }
    const std::vector<PlannedWrite>& directories() const { return m_directories; }

private:
    // A read of the image file that the system failed (an I/O error, not the file's end): the
    // first one is kept, so that the refusal reports it as what it is.
    struct ReadError {
        int error = 0;
        std::uint64_t offset = 0;  // where the bytes read stopped
    };
    class PlanDisk;

    PlanOutcome readImageStart(const RestoreTarget& target);
    bool readBootSector(const RestoreTarget& target);
    bool computeLayout(const RestoreTarget& target);
    bool checkFatIds();
    bool readImageFat();
    bool planDirectories();

    bool readBytes(std::uint64_t offset, std::span<std::uint8_t> into);
    // Reports a refusal with its text; false.
    template <typename... Args>
    bool refuse(const char* format, Args... args) {
        showError(m_window, format, args...);
        return false;
    }
    // After a failed read of the image: an I/O error is reported as a read error of the image,
    // with its offset, not as what the missing bytes would have shown.
    bool refuseRead(const char* otherwise);

    ProgressWindow m_window;
    ImageFile& m_image;
    std::uint64_t m_length;
    ReadError m_readError;

    std::uint32_t m_headerSectors = 0;
    std::uint32_t m_imageSectorBytes = kSectorBytes;
    std::uint64_t m_imageSectors = 0;
    std::uint32_t m_imageFatSectors = 0;
    Sector m_imageMbr{};
    Sector m_imageBoot{};
    RestoreLayout m_layout;
    std::vector<std::uint8_t> m_fat;
    std::vector<std::uint8_t> m_bootArea;
    std::vector<std::uint8_t> m_imageFat;
    std::vector<PlannedWrite> m_directories;
};

}  // namespace dorvix
