#pragma once
// FAT-aware capture: copies the FAT16 volume of a disk into a compact image body (see
// ImageBody.h). Only what the directory tree reaches is copied, each file and directory as one
// contiguous run, deleted entries dropped, "\Documents and Settings" left out.
//
// `captureVolume` is the engine over a SectorDisk; the caller supplies the disk in `source` and the services around the copy (operator output, dismounting, the clock, the
// header) in `CaptureHooks`. Nothing is written, to the disk or to a file, before the source has
// been mounted and its whole tree checked.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "fat/DirectoryWalker.h"
#include "fat/FatVolume.h"
#include "fat/ImageIniStamp.h"

namespace dorvix {

class ImageFile;

struct CaptureHooks {
    std::function<void(const std::string&)> heading;  // heading of the progress window
    std::function<void(const std::string&)> status;   // status line
    std::function<void(const std::string&)> error;    // error message
    // Percent completed, 0-100; `final` marks the closing 100 % after a successful copy.
    std::function<void(unsigned percent, bool final)> progress;
    // Takes the disk from its file systems and for this process alone; false refuses the capture.
    std::function<bool()> dismount;
    std::function<void()> mountFirstPartition;        // give it back
    std::function<SystemTime()> now;                  // the capture time stamped into IMAGE.INI
    // Writes the image header once the body is complete; `fileLength` is the body's end.
    std::function<bool(ImageFile& file, std::int64_t fileLength)> writeHeader;
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
    SystemTime captureTime{};           // stamped into the image's IMAGE.INI
    const char* refusal = nullptr;      // what the sizing walk found that no restore accepts
    std::u16string refusalPath;         // and where
    bool stampGrew = false;             // the stamp made IMAGE.INI take more clusters than before
    bool imageFull = false;             // the image had no free cluster left for the copy
};

// Sizing and copy visitors of a CaptureJob; they see every entry (WalkFilter::EveryEntry). The
// sizing visitor also checks the tree: a directory without a first cluster, a chain that leaves the volume or
// runs in a cycle, or a directory reached twice fails it (Visit::Abort); so do entries a restore of
// the image would refuse (a size past the chain or without one, an empty file with a chain, a
// long-name slot or label that names a cluster), which also set `refusal` and `refusalPath`.
// Both leave "\Documents and Settings" and everything below it out.
Visit sizingVisitor(CaptureJob& job, const WalkItem& item);
Visit copyVisitor(CaptureJob& job, const WalkItem& item);

// The two visitors bound to their job, as walkDirectory takes them.
inline EntryVisitor sizingWalk(CaptureJob& job) {
    return [&job](const WalkItem& item) { return sizingVisitor(job, item); };
}
inline EntryVisitor copyWalk(CaptureJob& job) {
    return [&job](const WalkItem& item) { return copyVisitor(job, item); };
}

// Why no disk could take the image of `source` (its MBR and boot sector as the image holds them,
// and the data clusters the sizing walk counted): the operator's message, or nullptr. The
// restore's layout is computed for the largest disk there is (255 heads, 63 sectors per track),
// which gets the largest partition the cluster table allows for the image's cluster size.
const char* unrestorableReason(std::span<const std::uint8_t> imageMbr, std::span<const std::uint8_t> imageBoot,
                               const FatVolume& source, std::uint32_t dataClusters);

// Mounts `source` (its disk set, the rest zero), checks and sizes its tree, checks
// that some disk could take the image, creates the image file under a temporary name in its
// folder, copies the tree without the documents folder (IMAGE.INI with the capture time in its
// "ModDate=" line), writes MBR, boot sector, FATs, root directory and header, flushes the file
// and only then gives it its name. Returns 0 or -1; the source is only ever read, and a failed
// capture leaves nothing under `imagePath` (an existing file there stays as it was). The image
// is written through `file` (closed when given), or through a file of the platform's own.
int captureVolume(FatVolume& source, ImageFile& file, const std::filesystem::path& imagePath, CaptureHooks& hooks);
int captureVolume(FatVolume& source, const std::filesystem::path& imagePath, CaptureHooks& hooks);

}  // namespace dorvix
