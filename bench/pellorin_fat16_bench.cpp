// Writing a bootable FAT16 disk image of about 1 GiB holding about 256 MiB of files:
// CFat16Disk::Format against mkfs.fat -F 16 plus mcopy of the same files into an image file of
// the same size. Prints both times (best of a few runs) and the ratio ours / theirs.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMAGING_TESTS=OFF
//   cmake --build build-bench --target pellorin_fat16_bench
//   build-bench/bench/pellorin_fat16_bench [scratch directory, default /tmp] [runs, default 3]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BootCode.h"
#include "fat16/Fat16Disk.h"
#include "fat16/Trace.h"
#include "platform/DriveHandle.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// One cylinder is 255 heads of 63 sectors; 130 of them are 1,069,286,400 bytes.
constexpr std::uint32_t kSectors = 63;
constexpr std::uint32_t kHeads = 255;
constexpr std::uint32_t kCylinders = 130;
constexpr std::uint64_t kImageBytes = std::uint64_t{kSectors} * kHeads * kCylinders * 512;

void WritePattern(const fs::path& path, std::size_t size, std::uint32_t seed) {
    std::vector<char> block(1 << 20);
    std::uint32_t state = seed * 2654435761u + 1;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::size_t done = 0; done < size;) {
        for (char& c : block) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        }
        const std::size_t now = std::min(block.size(), size - done);
        out.write(block.data(), static_cast<std::streamsize>(now));
        done += now;
    }
}

void MakeImage(const fs::path& image) {
    fs::remove(image);
    { std::ofstream create(image, std::ios::binary); }
    fs::resize_file(image, kImageBytes);
}

std::string Quote(const std::string& word) {
    std::string quoted(1, '\'');
    for (char c : word) {
        if (c == '\'') {
            quoted.append("'\\''");
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool RunOurs(const fs::path& image, const std::vector<fs::path>& files) {
    MakeImage(image);
    auto handle = pellorin::CFileHandle::Open(image.string(), pellorin::CFileHandle::Mode::ReadWrite);
    if (!handle) {
        return false;
    }
    pellorin::CFat16Disk disk;
    if (!disk.AttachFile(handle.get(), 0, 512, kSectors, kHeads, kCylinders)) {
        return false;
    }
    std::vector<unsigned char> mbr(resource_MBR, resource_MBR + resource_MBR_size);
    std::vector<unsigned char> pbr(resource_FDOSPBR, resource_FDOSPBR + resource_FDOSPBR_size);
    std::string list;
    for (const auto& file : files) {
        list += file.string();
        list += '\0';
    }
    list += '\0';
    return disk.Format(mbr.data(), pbr.data(), list.c_str(), nullptr) == pellorin::TRUE;
}

bool RunPeer(const fs::path& image, const std::vector<fs::path>& files) {
    MakeImage(image);
    const std::string quotedImage = Quote(image.string());
    std::string command = "mkfs.fat -F 16 -n USBDISK ";
    command += quotedImage;
    command += " >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i ";
    command += quotedImage;
    for (const auto& file : files) {
        command += ' ';
        command += Quote(file.string());
    }
    command += " ::/";
    return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path scratch = fs::path(argc > 1 ? argv[1] : "/tmp") / "pellorin_fat16_bench";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    fs::create_directories(scratch);
    pellorin::DebugLevel = 0;  // the trace's step lines would only interleave with the figures

    // The payload of a recovery disk: a large image and a few small start-up files.
    const std::vector<std::pair<std::string, std::size_t>> payload = {
        {"KERNEL.SYS", 45 * 1024},      {"COMMAND.COM", 66945},  {"AUTOEXEC.BAT", 120},
        {"KMV.EXE", 180 * 1024},        {"RECOVERY.PDF", 2 << 20},
        {"FLASH.IMG", (254u << 20) - 300000}};
    std::vector<fs::path> files;
    std::uint64_t total = 0;
    std::uint32_t seed = 1;
    for (const auto& [name, size] : payload) {
        files.push_back(scratch / name);
        WritePattern(files.back(), size, seed++);
        total += size;
    }
    std::printf("payload %.1f MiB in %zu files, image %.1f MiB, best of %d runs\n",
                static_cast<double>(total) / (1 << 20), files.size(),
                static_cast<double>(kImageBytes) / (1 << 20), runs);

    double ours = 1e9;
    double peer = 1e9;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        if (!RunOurs(scratch / "ours.img", files)) {
            std::fprintf(stderr, "Format failed\n");
            return 1;
        }
        ours = std::min(ours, Seconds(Clock::now() - start));
        start = Clock::now();
        if (!RunPeer(scratch / "peer.img", files)) {
            std::fprintf(stderr, "mkfs.fat or mcopy failed\n");
            return 1;
        }
        peer = std::min(peer, Seconds(Clock::now() - start));
    }
    std::printf("CFat16Disk::Format          %.3f s\n", ours);
    std::printf("mkfs.fat -F 16 + mcopy      %.3f s\n", peer);
    std::printf("ratio (ours / peer)         %.2f\n", ours / peer);
    fs::remove_all(scratch);
    return 0;
}
