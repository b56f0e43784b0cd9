// Fuzz target: the image header as the restore and the flat write read it. The input is the
// start of an image file, read from memory; its bytes behind the header
// are also taken as the BIOS window in which the compatibility test looks for the BIOS version
// that the header's target-BIOS list must name.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "FuzzDisk.h"
#include "disk/BiosCompatibility.h"
#include "disk/ImageHeader.h"
#include "disk/ImageInput.h"
#include "fat/RestoreLayout.h"

using namespace dorvix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    fuzz::MemoryImageFile file(bytes);

    fuzz::SilentWindow window;
    KmvImageHeader header;
    const HeaderCheck check = validateImageHeader(&window, file, header);
    std::string targetBios;
    switch (check) {
    case HeaderCheck::Valid: {
        if (headerByteSum(header.bytes) != 0) {
            fuzz::fuzzFailure("a header with a wrong checksum was accepted");
        }
        announcedImageLength(header);
        targetBios = headerTargetBios(header);
        if (targetBios.size() > kmvheader::kTargetBiosMaxLength + 1) {
            fuzz::fuzzFailure("the target-BIOS list runs past its field");
        }
        break;
    }
    case HeaderCheck::NoHeader:
        // Without a header the first sector is the body's MBR.
        if (imageMbrUsable(header.bytes)) {
            imagePartitionStart(header.bytes);
        }
        break;
    case HeaderCheck::Invalid:
    case HeaderCheck::ReadFailure:
        break;
    }

    // The BIOS window: the bytes behind the header, zeros up to its 64 KiB.
    std::vector<std::uint8_t> biosWindow(kSmbiosWindowSize, 0);
    if (size > kmvheader::kSize) {
        std::copy_n(data + kmvheader::kSize, std::min(size - kmvheader::kSize, biosWindow.size()), biosWindow.begin());
    }
    std::string version;
    std::size_t versionSize = 0;
    if (getBiosVersion(biosWindow, version, versionSize, 256, false)) {
        if (versionSize != version.size() + 1 || versionSize > 256) {
            fuzz::fuzzFailure("the BIOS version's size is not its length + 1 within the capacity");
        }
        biosVersionAccepted(version, targetBios);
    }

    // A capture writes the list it found back into a new header, cut to fit.
    KmvImageHeader fresh = newImageHeader();
    const std::string cut = cutTargetBiosList(targetBios);
    if (!setHeaderTargetBios(fresh, cut) || headerTargetBios(fresh) != cut) {
        fuzz::fuzzFailure("a cut target-BIOS list does not fit a new header");
    }
    sealImageHeader(fresh);
    if (headerByteSum(fresh.bytes) != 0) {
        fuzz::fuzzFailure("a sealed header does not sum to zero");
    }
    return 0;
}
