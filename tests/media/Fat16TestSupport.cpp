#include "Fat16TestSupport.h"

#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "BootCode.h"
#include "TestSupport.h"

namespace pellorin::testing_support {

std::string FileList(const std::vector<std::filesystem::path>& paths) {
    std::string list;
    for (const auto& path : paths) {
        list += path.string();
        list += '\0';
    }
    list += '\0';
    return list;
}

void MakeSparseImage(const std::filesystem::path& image, std::uint64_t bytes) {
    { std::ofstream create(image, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(image, bytes);
}

BOOL CRecordingDisk::OnProgress(DWORD dwTotal, DWORD dwDone, void* context) {
    calls.push_back({dwTotal, dwDone, context});
    return stopAtCall != 0 && calls.size() == stopAtCall ? TRUE : FALSE;
}

std::vector<BYTE> MbrTemplate() {
    return {resource_MBR, resource_MBR + resource_MBR_size};
}

std::vector<BYTE> PbrTemplate() {
    return {resource_FDOSPBR, resource_FDOSPBR + resource_FDOSPBR_size};
}

FormatRun FormatImage(const std::filesystem::path& image, DWORD sectorsPerTrack, DWORD heads,
                      DWORD cylinders, const std::vector<std::filesystem::path>& files,
                      DWORD baseOffset, std::vector<BYTE> pbr) {
    FormatRun run;
    auto handle = CFileHandle::Open(image.string(), CFileHandle::Mode::ReadWrite);
    if (!handle) {
        throw std::runtime_error("cannot open " + image.string());
    }
    CRecordingDisk disk;
    disk.SetTickCountSource([] { return DWORD{0x12345678}; });
    if (!disk.AttachFile(handle.get(), baseOffset, 512, sectorsPerTrack, heads, cylinders)) {
        throw std::runtime_error("AttachFile refused");
    }
    auto mbr = MbrTemplate();
    if (pbr.empty()) {
        pbr = PbrTemplate();
    }
    const std::string list = FileList(files);
    testing::internal::CaptureStderr();
    run.result = disk.Format(mbr.data(), pbr.data(), list.c_str(), nullptr);
    run.trace = testing::internal::GetCapturedStderr();
    run.layout = disk.Layout();
    run.calls = disk.calls;
    return run;
}

std::vector<BYTE> ReadAt(const std::filesystem::path& file, std::uint64_t offset, std::size_t count) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<BYTE> bytes(count);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void ExtractPartitionMetadata(const std::filesystem::path& image, const Fat16Layout& layout,
                              const std::filesystem::path& partition, std::uint64_t baseOffset) {
    const std::uint64_t start = baseOffset + std::uint64_t{layout.S} * 512;
    const std::size_t metadata = std::size_t{layout.dataStart - layout.S} * 512;
    const auto bytes = ReadAt(image, start, metadata);
    testsupport::writeFileBytes(partition, bytes);
    std::filesystem::resize_file(partition, std::uint64_t{layout.V} * 512);
}

std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t partitionOffset) {
    return testsupport::shellQuote(image.string() + "@@" + std::to_string(partitionOffset));
}

}  // namespace pellorin::testing_support
