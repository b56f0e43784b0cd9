#pragma once
// FAT-aware capture: copies the FAT16 volume of a disk into a compact image body (see
// ImageBody.h). Only what the directory tree reaches is copied, each file and directory as one
// contiguous run, deleted entries dropped, "\Documents and Settings" left out.
//
// `captureVolume` is the engine over sector callbacks; the caller supplies the disk's callbacks
// in `source` and the services around the copy (operator output, dismounting, the clock, the
// header) in `CaptureHooks`. Nothing is written, to the disk or to a file, before the source has
// been mounted and its whole tree checked.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "disk/ImageStamp.h"
#include "fat/FatVolume.h"

namespace dorvix {

class ImageFile;

struct CaptureHooks {
    std::function<void(const std::string&)> heading;  // heading of the progress window
    std::function<void(const std::string&)> status;   // status line
    std::function<void(const std::string&)> error;    // error message
    // Percent completed, 0-100; `final` marks the closing 100 % after a successful copy.
    std::function<void(unsigned percent, bool final)> progress;
    std::function<void()> dismount;                   // take the disk from the file system
    std::function<void()> mountFirstPartition;        // give it back
    std::function<SystemTime()> now;                  // the capture time stamped into IMAGE.INI
    // Writes the image header once the body is complete; `fileLength` is the body's end.
    std::function<bool(ImageFile& file, std::int64_t fileLength)> writeHeader;
    // Where IMAGE.INI is stamped; with neither a host file nor a volume, the source volume's
    // own \IMAGE.INI is rewritten through the engine.
    StampLocation stamp;
};

// One image directory under construction: one cluster of entries at a time.
struct DirBuilder {
    std::uint16_t cluster = 0;       // image cluster being filled
    std::uint16_t count = 0;         // entries in `buffer`
    std::uint16_t firstCluster = 0;  // the directory's first image cluster ("." and the ".." of children)
    std::vector<std::uint8_t> buffer;
    bool closed = false;             // written out; later entries for it would overflow its run
};

struct CaptureJob {
    CaptureHooks* hooks = nullptr;
    std::uint32_t lastPercent = 0;
    std::uint32_t clustersDone = 0;     // source clusters of file data copied so far
    std::uint32_t batchClusters = 0;    // clusters that fit the 64-sector copy buffer
    std::uint32_t totalClusters = 0;    // clusters of the tree, counted by the sizing walk
    FatVolume* source = nullptr;
    FatVolume* image = nullptr;
    std::vector<DirBuilder> openDirs;   // directories being copied, innermost last
    std::vector<std::uint8_t> copyBuffer;
    std::vector<bool> seenDirectories;  // directory first clusters met by the sizing walk
};

// Sizing and copy visitors (entry visitors whose context is the CaptureJob). The sizing visitor
// also checks the tree: a directory without a first cluster, a chain that leaves the volume or
// runs in a cycle, or a directory reached twice fails it with -1.
int sizingVisitor(FatVolume& volume, std::u16string& path, void* context, std::span<std::uint8_t> entries,
                  std::size_t index, std::size_t extra);
int copyVisitor(FatVolume& volume, std::u16string& path, void* context, std::span<std::uint8_t> entries,
                std::size_t index, std::size_t extra);

// Mounts `source` (device and callbacks set, the rest zero), checks and sizes its tree, creates
// the image file, stamps IMAGE.INI, leaves the documents folder out, copies, puts the folder and
// the stamp back and writes MBR, boot sector, FATs, root directory and header. Returns 0 or -1;
// a failure after the image file was created deletes it.
int captureVolume(FatVolume& source, const std::filesystem::path& imagePath, CaptureHooks& hooks);

}  // namespace dorvix
