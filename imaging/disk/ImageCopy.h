#pragma once
// The bulk copy of the restore and the flat write: a run of image-file bytes onto a run of
// disk sectors. Where both ends are regular files the kernel moves the bytes; otherwise large
// positioned reads run on a second thread, one request ahead of the disk writes, through two
// buffers. The engines keep their own chunk size for what the operator sees (ChunkProgress).

#include "disk/DiskDevice.h"

#include <cstdint>
#include <functional>

namespace dorvix {

// Sectors per request of the bulk copy: 4 MiB of 512-byte sectors.
inline constexpr std::uint32_t kImageCopyRequestSectors = 8192;

// The percentages a copy loop of `chunk` sectors per step shows for `total` sectors: after
// each step, sectors done × 100 ÷ total, when greater than the last one shown (initially 0).
// A copy that moves more at a time reports each request through advance(), which shows the
// same sequence the chunk loop would have shown up to there.
class ChunkProgress {
public:
    ChunkProgress(std::uint64_t total, std::uint32_t chunk) : m_total(total), m_chunk(chunk == 0 ? 1 : chunk) {}

    // `done` sectors of the total are copied (done only grows; the last call passes the total).
    void advance(std::uint64_t done, const std::function<void(int percent)>& show);

private:
    std::uint64_t m_total;
    std::uint32_t m_chunk;
    std::uint32_t m_last = 0;
};

enum class ImageCopyResult { Done, ReadFailed, WriteFailed, NoMemory };

// Copies `sectors` sectors of disk.bytesPerSector bytes from the image file `image` (opened for
// reading), from its byte imageOffset on, to the disk from firstSector on. `progressed` hears
// the sectors done after each request. Stops at the first failure:
// a read that fails or ends early is ReadFailed, a disk write that fails is WriteFailed.
ImageCopyResult copyImageToDisk(ImageFile& image, std::uint64_t imageOffset, DiskDevice& disk, std::uint32_t firstSector,
                                std::uint32_t sectors, const std::function<void(std::uint32_t done)>& progressed,
                                std::uint32_t requestSectors = kImageCopyRequestSectors);

}  // namespace dorvix
