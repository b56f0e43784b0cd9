// What the operator reads on the console: for each engine, the whole standard output of the built
// dorvix on a small image-file disk, plain and with the debug switch, compared with the texts and
// the percentage rules of that engine. The expected side is built from those rules, not from the
// engine's code: the percentages come from the chunk sizes the operator's progress is defined in.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <functional>


namespace {

using namespace restoretest;
using testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

const std::string kBanner = "QZ Keldan Imaging Tool, Version 3.03.000\nRun \"dorvix -?\" for the list of options.\n\n";

std::string percentLine(std::uint64_t percent) { return "\r" + std::to_string(percent) + "% completed."; }

// The percentages of a copy of `total` sectors moved in chunks of `chunk`: after each chunk the
// rounded-down share done, shown only when it grew.
std::string chunkPercents(std::uint64_t total, std::uint64_t chunk) {
    std::string shown;
    std::uint64_t last = 0;
    for (std::uint64_t done = 0; done < total;) {
        done += std::min(chunk, total - done);
        const std::uint64_t percent = done * 100 / total;
        if (percent > last) {
            last = percent;
            shown += percentLine(percent);
        }
    }
    return shown;
}

// The FAT-aware capture's percentages: each file's clusters are copied in batches of
// `batchClusters`; after each batch the share of `totalClusters` done, shown when it grew. The
// closing 100 % comes once, with its line end, after the image is complete.
std::string capturePercents(const std::vector<std::uint32_t>& fileClusters, std::uint32_t batchClusters) {
    std::uint32_t total = 0;
    for (auto c : fileClusters) total += c;
    std::string shown;
    std::uint32_t done = 0, last = 0;
    for (auto clusters : fileClusters) {
        for (std::uint32_t left = clusters; left > 0;) {
            const std::uint32_t batch = std::min(batchClusters, left);
            left -= batch;
            done += batch;
            const std::uint32_t percent = done * 100 / total;
            if (percent > last && percent < 100) {
                last = percent;
                shown += percentLine(percent);
            }
        }
    }
    return shown + "\r100% completed.\r\n";
}

std::string hex8(std::uint64_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(v));
    return text;
}

// The elapsed seconds depend on the machine; everything else must match byte for byte.
std::string withoutSeconds(std::string text) {
    for (std::size_t at = text.find(" seconds"); at != std::string::npos; at = text.find(" seconds", at + 1)) {
        std::size_t digits = at;
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1]))) --digits;
        if (digits < at) {
            text.replace(digits, at - digits, "#");
            at = digits;
        }
    }
    return text;
}

struct Transcript {
    const char* name;
    std::string args;
    std::string expected;
};

class DorvixTranscript : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) {
            GTEST_SKIP() << "needs mkfs.fat and mtools";
        }
    }

    // Runs each case and compares its standard output as a whole; nothing may reach standard error.
    void expectTranscripts(const fs::path& table, const std::vector<Transcript>& cases,
                           const std::function<void()>& before = {}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            if (before) before();
            const fs::path errors = table.parent_path() / "stderr.txt";
            auto run = runDorvix(table, c.args + " 2>" + shellQuote(errors.string()));
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_EQ(withoutSeconds(run.output), withoutSeconds(c.expected));
            EXPECT_EQ(testsupport::readFileBytes(errors).size(), 0u) << "standard error was written to";
        }
    }
};

// Source disks: 16 heads from the device table; the track length comes from the old partition's
// start (sector 32), so a cylinder is 512 sectors.
constexpr std::uint32_t kSourceSectors = 20000;
constexpr std::uint32_t kSourceCylinder = 16 * 32;

TEST_F(DorvixTranscript, FatAwareCaptureShowsSizingCopyingAndBatchPercents) {
    TempDir dir;
    const fs::path source = dir / "source.disk";
    // Four sectors per cluster: the capture moves 64 ÷ 4 = 16 clusters per batch.
    makeSourceDisk(source, kSourceSectors - 32, 4, rootFilesFill(dir / "files"), kSourceSectors);
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string() + " heads=16"}});
    // 'A long file name.bin' 70000 bytes, ONE.TXT 1, EMPTY.TXT 0, BIG.DAT 300000: 2048-byte clusters.
    const std::string body = "Sizing the source volume...\r\nCopying folder and data areas...\r\n" +
                             capturePercents({35, 1, 0, 147}, 16);
    expectTranscripts(table, {{"plain", "-y -nor -imgcopy CAP.IMG", kBanner + body},
                              {"debug", "-y -nor -d -imgcopy CAP.IMG", kBanner + body}},
                      [&] { fs::remove(dir / "CAP.IMG"); });
}

TEST_F(DorvixTranscript, FlatCaptureShowsTotalsThenPercentsPerCylinder) {
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, kSourceSectors - 32, 4, rootFilesFill(dir / "files"), kSourceSectors);
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string() + " heads=16"}});
    // The partition ends at the disk's last sector, behind its last whole cylinder: the capture
    // takes it whole, the last step shorter than a cylinder.
    const std::uint32_t sectors = kSourceSectors;
    const std::string body = "Total sectors to be copied = " + hex8(sectors) + " (" + hex8(sectors) + ")\n\n" +
                             "\rCapturing the image...\n" + percentLine(0) + chunkPercents(sectors, kSourceCylinder) +
                             "Completed successfully! (0 seconds)\n\n";
    expectTranscripts(table, {{"plain", "-y -nor -flatcopy FLAT.IMG", kBanner + body},
                              {"debug", "-y -nor -d -flatcopy FLAT.IMG", kBanner + body}});
}

TEST_F(DorvixTranscript, FlatWriteShowsPercentsPer32Sectors) {
    TempDir dir;
    const fs::path target = dir / "target.disk";
    constexpr std::uint32_t kBodySectors = 3001;
    Bytes image = imageHeader(2, kBodySectors, "KQ3A3,KQ3A0");
    const Bytes body = testsupport::patternBytes(std::size_t{kBodySectors} * 512, 7);
    image.insert(image.end(), body.begin(), body.end());
    testsupport::writeFileBytes(dir / "FLAT.IMG", image);
    const fs::path table = writeDeviceTable(dir.path(), {{1, target.string() + " heads=16 sectors=63"}});
    // A blank disk of 30000 sectors: 29 whole cylinders of 16 x 63.
    const std::uint32_t diskSectors = 30000 / 1008 * 1008;
    const std::string head = kBanner + "Validating the image header...Performing FLATCOPY to target device...";
    const std::string tail = chunkPercents(kBodySectors, 32) + "Operation completed successfully in 0 seconds!\n";
    const std::string totals =
        "Total sectors to be copied = " + hex8(kBodySectors) + " (" + hex8(diskSectors) + ")\n\n";
    expectTranscripts(table,
                      {{"plain", "-y -nor -writeflat FLAT.IMG", head + tail},
                       {"debug", "-y -nor -d -writeflat FLAT.IMG", head + totals + tail}},
                      [&] { makeBlankDisk(target, 30000); });
}

TEST_F(DorvixTranscript, RestoreShowsStepsPercentsPer16SectorsAndClearsTheLine) {
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, kSourceSectors - 32, 4, rootFilesFill(dir / "files"), kSourceSectors);
    const std::string bios = "KQ7B2,KQ3A1,KQ3A0";
    imageFromSourceDisk(source, dir / "FLASH.IMG", true, bios);
    const fs::path target = dir / "target.disk";
    const fs::path table = writeDeviceTable(dir.path(), {{2, target.string() + " heads=16 sectors=63"}});

    // The copy starts at the image's root directory: R = header + hidden + reserved + FATs.
    const Bytes image = testsupport::readFileBytes(dir / "FLASH.IMG");
    const std::size_t boot = 512 + std::size_t{le32(image, 512 + 454)} * 512;
    const std::uint32_t hidden = le32(image, boot + 28);
    const std::uint32_t reserved = image[boot + 14] | (image[boot + 15] << 8);
    const std::uint32_t fatSectors = image[boot + 22] | (image[boot + 23] << 8);
    const std::uint32_t rootStart = 1 + hidden + reserved + image[boot + 16] * fatSectors;
    const std::uint64_t remaining = image.size() / 512 - rootStart;
    // Under 12.5 MiB a 16-sector chunk is more than 1 %: the shown percentages skip values.
    ASSERT_LT(remaining, 16u * 100);

    const std::string head = kBanner + "Validating the image header...";
    const std::string debug = "***ERROR*** SMBIOS was not found!\nBIOS = (), ih.targetBIOS = " + bios + "\n";
    const std::string tail = "Extracting the image...Copying folder and data areas....\r\n" +
                             chunkPercents(remaining, 16) + "\r                     \r" +
                             "Post-processing allocation structures....Completed successfully! (0 seconds)\r\n";
    expectTranscripts(table,
                      {{"plain", "-y -nor -td:2 FLASH.IMG", head + tail},
                       {"debug", "-y -nor -d -td:2 FLASH.IMG", head + debug + tail}},
                      [&] { makeBlankDisk(target, 40000); });
}

}  // namespace
