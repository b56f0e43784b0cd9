#include "disk/ImageCopy.h"

#include "platform/ImageFile.h"

#include <algorithm>
#include <cerrno>
#include <future>
#include <memory>
#include <new>

namespace dorvix {

void ChunkProgress::advance(std::uint64_t done, const std::function<void(int percent)>& show) {
    if (m_total == 0) {
        return;
    }
    done = std::min(done, m_total);
    while (m_last < 100) {
        // The first step end whose percentage passes the last one shown: the fewest sectors
        // that reach it, rounded up to a whole step (the last step ends at the total).
        const std::uint64_t reaching = ((std::uint64_t{m_last} + 1) * m_total + 99) / 100;
        const std::uint64_t stepEnd = std::min(((reaching + m_chunk - 1) / m_chunk) * m_chunk, m_total);
        if (stepEnd > done) {
            return;
        }
        m_last = static_cast<std::uint32_t>(stepEnd * 100 / m_total);
        show(static_cast<int>(m_last));
    }
}

ImageCopyResult copyImageToDisk(ImageFile& image, std::uint64_t imageOffset, DiskDevice& disk, std::uint32_t firstSector,
                                std::uint32_t sectors, const std::function<void(std::uint32_t done)>& progressed,
                                std::uint32_t requestSectors) {
    const std::uint64_t sectorBytes = disk.bytesPerSector;
    requestSectors = std::max<std::uint32_t>(requestSectors, 1);
    std::uint32_t done = 0;

    // Inside the kernel while the driver can; a failure there is not attributed to either
    // side: the rest goes through the buffers, whose reads and writes tell which one failed.
    while (done < sectors) {
        const std::uint32_t n = std::min(requestSectors, sectors - done);
        if (disk.CopyFromFile(image, imageOffset + done * sectorBytes, firstSector + done, n) !=
            DiskDevice::FileCopy::Done) {
            break;
        }
        done += n;
        progressed(done);
    }
    if (done == sectors) {
        return ImageCopyResult::Done;
    }

    const std::size_t bufferBytes = std::size_t{requestSectors} * sectorBytes;
    std::unique_ptr<std::uint8_t[]> buffers[2];
    buffers[0].reset(new (std::nothrow) std::uint8_t[bufferBytes]);
    buffers[1].reset(new (std::nothrow) std::uint8_t[bufferBytes]);
    if (!buffers[0] || !buffers[1]) {
        return ImageCopyResult::NoMemory;
    }
    auto startRead = [&](std::uint32_t from, int slot) {
        const std::size_t bytes = std::min(requestSectors, sectors - from) * sectorBytes;
        std::uint8_t* into = buffers[slot].get();
        const std::uint64_t at = imageOffset + from * sectorBytes;
        // Its own thread where one can be had, else read when asked for.
        return std::async(std::launch::async | std::launch::deferred,
                          [&image, at, into, bytes] {
                              int error = 0;
                              return image.readSomeAt(at, {into, bytes}, error) == bytes;
                          });
    };

    // The read of the next request runs while the disk writes this one; failures are taken in
    // the order a plain read-then-write loop would meet them.
    int slot = 0;
    std::future<bool> pending = startRead(done, slot);
    while (done < sectors) {
        const std::uint32_t n = std::min(requestSectors, sectors - done);
        if (!pending.get()) {
            return ImageCopyResult::ReadFailed;
        }
        if (done + n < sectors) {
            pending = startRead(done + n, 1 - slot);
        }
        const std::span<const std::uint8_t> data(buffers[slot].get(), std::size_t{n} * sectorBytes);
        if (!disk.WriteSectors(firstSector + done, n, data)) {
            return ImageCopyResult::WriteFailed;  // `pending` waits for its read before the buffers go
        }
        done += n;
        slot = 1 - slot;
        progressed(done);
    }
    return ImageCopyResult::Done;
}

}  // namespace dorvix
