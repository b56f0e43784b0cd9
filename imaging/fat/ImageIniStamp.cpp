#include "fat/ImageIniStamp.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "fat/DirectoryWalker.h"
#include "fat/FatVolume.h"
#include "records/ByteOrder.h"

namespace dorvix {

namespace {

// ---- IMAGE.INI as a host file -------------------------------------------------------------

std::vector<std::uint8_t> readHostHead(const std::filesystem::path& file) {
    std::vector<std::uint8_t> head(kStampHeadBytes);
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return head;
}

void writeHostStamp(const std::filesystem::path& file, const SystemTime& date) {
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (error) {
        return;
    }
    const auto remembered = status.permissions();
    // Lifts a read-only flag for the write; the remembered permissions come back afterwards.
    std::filesystem::permissions(file, std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 error);
    {
        std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
        if (io) {
            std::vector<std::uint8_t> head(kStampHeadBytes);
            io.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
            head.resize(static_cast<std::size_t>(std::max<std::streamsize>(io.gcount(), 0)));
            io.clear();
            if (!head.empty() && applyModDate(head, date)) {
                io.seekp(0);
                io.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
            }
        }
    }
    std::filesystem::permissions(file, remembered, std::filesystem::perm_options::replace, error);
}

// ---- IMAGE.INI inside a FAT volume --------------------------------------------------------

struct IniEntry {
    bool found = false;
    std::size_t offset = 0;  // of the short entry in the root directory
    std::uint16_t firstCluster = 0;
    std::uint32_t size = 0;
};

// Sees files and directories only (WalkFilter::ShortEntriesOnly).
Visit findIniVisitor(IniEntry& entry, const WalkItem& item) {
    if ((item.attributes() & direntry::kDirectoryBit) != 0 ||
        comparePaths(u"\\IMAGE.INI", item.path) != PathRelation::Same) {
        return Visit::Next;
    }
    entry.found = true;
    entry.offset = item.shortEntryOffset();
    entry.firstCluster = load16(item.entries, entry.offset + direntry::kFirstCluster);
    entry.size = load32(item.entries, entry.offset + direntry::kSize);
    return Visit::Stop;
}

WalkResult findIni(FatVolume& volume, std::u16string& path, std::size_t count, IniEntry& entry) {
    return scanEntries(volume, path, volume.rootDir, count, nullptr,
                       [&entry](const WalkItem& item) { return findIniVisitor(entry, item); },
                       WalkFilter::ShortEntriesOnly);
}

// The file's first cluster, and how many of its bytes belong to the first 256 bytes of the file.
bool readVolumeHead(FatVolume& volume, IniEntry& entry, std::vector<std::uint8_t>& cluster, std::size_t& length) {
    std::u16string path;
    const std::size_t count = std::min<std::size_t>(volume.rootEntries, volume.rootDir.size() / direntry::kBytes);
    if (findIni(volume, path, count, entry) != WalkResult::Stopped ||
        !isDataCluster(volume, entry.firstCluster) || entry.size == 0) {
        return false;
    }
    cluster.assign(volume.bytesPerCluster, 0);
    if (readCluster(volume, entry.firstCluster, cluster.data(), cluster.size()) < 0) {
        return false;
    }
    length = std::min<std::size_t>({entry.size, kStampHeadBytes, cluster.size()});
    return true;
}

}  // namespace

bool stampVolumeIni(FatVolume& volume, const SystemTime& date, bool* noRoom) {
    IniEntry entry;
    std::u16string path;
    const std::size_t count = std::min<std::size_t>(volume.rootEntries, volume.rootDir.size() / direntry::kBytes);
    if (findIni(volume, path, count, entry) != WalkResult::Stopped ||
        entry.size == 0 || entry.firstCluster == 0) {
        return true;
    }
    const std::uint32_t clusterBytes = volume.bytesPerCluster;
    std::vector<std::uint16_t> chain;
    std::vector<std::uint8_t> text;
    std::vector<std::uint8_t> block(clusterBytes, 0);
    for (std::uint32_t c = entry.firstCluster; text.size() < entry.size; c = fatEntry(volume, c)) {
        if (!isDataCluster(volume, c) || chain.size() > volume.clusterCount ||
            readCluster(volume, static_cast<std::uint16_t>(c), block.data(), block.size()) < 0) {
            return false;
        }
        chain.push_back(static_cast<std::uint16_t>(c));
        const std::size_t take = std::min<std::size_t>(clusterBytes, entry.size - text.size());
        text.insert(text.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
    }
    std::vector<std::uint8_t> stamped = withModDate(text, date);
    if (stamped == text) {
        return true;
    }
    const std::size_t needed = (stamped.size() + clusterBytes - 1) / clusterBytes;
    while (chain.size() < needed) {
        const std::uint16_t added = allocateCluster(volume, chain.back());
        if (added == 0) {
            if (noRoom != nullptr) {
                *noRoom = true;
            }
            return false;
        }
        chain.push_back(added);
    }
    if (chain.size() > needed) {
        for (std::size_t k = needed; k < chain.size(); ++k) {
            setFatEntry(volume, chain[k], 0);
        }
        setFatEntry(volume, chain[needed - 1], 0xFFFF);
    }
    const auto length = static_cast<std::uint32_t>(stamped.size());
    stamped.resize(needed * clusterBytes, 0);
    for (std::size_t k = 0; k < needed; ++k) {
        if (writeCluster(volume, chain[k], stamped.data() + k * clusterBytes, clusterBytes) < 0) {
            return false;
        }
    }
    store32(volume.rootDir, entry.offset + direntry::kSize, length);
    return writeFatsAndRoot(volume) == 0;
}

bool readModDate(const StampLocation& where, SystemTime& date) {
    if (!where.hostFile.empty()) {
        const std::vector<std::uint8_t> head = readHostHead(where.hostFile);
        return !head.empty() && parseModDate(head, date);
    }
    if (where.volume == nullptr) {
        return false;
    }
    IniEntry entry;
    std::vector<std::uint8_t> cluster;
    std::size_t length = 0;
    if (!readVolumeHead(*where.volume, entry, cluster, length)) {
        return false;
    }
    return parseModDate(std::span<const std::uint8_t>(cluster).first(length), date);
}

void writeModDate(const StampLocation& where, SystemTime date) {
    if (!where.hostFile.empty()) {
        writeHostStamp(where.hostFile, date);
        return;
    }
    if (where.volume == nullptr) {
        return;
    }
    // Inside the volume the read-only attribute does not stand in the way of a sector write,
    // so the directory entry is left exactly as it is.
    IniEntry entry;
    std::vector<std::uint8_t> cluster;
    std::size_t length = 0;
    if (!readVolumeHead(*where.volume, entry, cluster, length)) {
        return;
    }
    if (applyModDate(std::span<std::uint8_t>(cluster).first(length), date)) {
        writeCluster(*where.volume, entry.firstCluster, cluster.data(), cluster.size());
    }
}

}  // namespace dorvix
