// Capture and restore over generated source volumes: volumes made by mkfs.fat or mformat with
// every cluster size from 2 to 64 sectors, deep trees, long names, files fragmented by deletes
// and later copies, with and without a label. Each is captured by dorvix, restored onto a disk
// larger and one smaller than the source, and every restored volume must pass fsck.fat -n and
// hold the source's files byte for byte (read back with mtools).
//
// The generator is seeded: a run is reproducible. DORVIX_PROPERTY_VOLUMES (default 6) sets how
// many volumes are tried and DORVIX_PROPERTY_SEED the seed, for longer runs by hand.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace restoretest;
using testsupport::TempDir;

unsigned envNumber(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

// Builds the shell snippet (using $V) that fills a volume, and the host files it copies in.
class TreeGenerator {
public:
    TreeGenerator(std::mt19937& rng, fs::path scratch, std::uint32_t clusterBytes)
        : m_rng(rng), m_scratch(std::move(scratch)), m_clusterBytes(clusterBytes) {
        fs::create_directories(m_scratch);
    }

    std::string script() {
        std::string s = "set -e";
        // Directories: a few chains, some deep, names long and short.
        std::vector<std::string> dirs{"::"};
        const unsigned chains = pick(2, 4);
        for (unsigned c = 0; c < chains; ++c) {
            std::string path = "::";
            const unsigned depth = pick(1, 7);
            // Paths stay well inside the 255 characters an image carries, file names included.
            for (unsigned d = 0; d < depth && path.size() < 150; ++d) {
                path += "/" + name(true);
                s += "; mmd -i \"$V\" " + shellQuote(path);
                dirs.push_back(path);
            }
        }
        // First files, then deletes that leave holes, then files that fill and overrun them.
        std::vector<std::string> placed;
        for (unsigned i = 0, n = pick(8, 16); i < n; ++i) {
            const std::string target = dirs[pick(0, static_cast<unsigned>(dirs.size() - 1))] + "/" + name(false);
            s += "; mcopy -m -i \"$V\" " + shellQuote(hostFile(size()).string()) + " " + shellQuote(target);
            placed.push_back(target);
        }
        for (std::size_t i = 0; i < placed.size(); i += 3) {
            s += "; mdel -i \"$V\" " + shellQuote(placed[i]);
        }
        for (unsigned i = 0, n = pick(4, 8); i < n; ++i) {
            const std::string target = dirs[pick(0, static_cast<unsigned>(dirs.size() - 1))] + "/" + name(false);
            s += "; mcopy -m -i \"$V\" " + shellQuote(hostFile(size() + 3 * m_clusterBytes).string()) + " " +
                 shellQuote(target);
        }
        return s;
    }

private:
    unsigned pick(unsigned low, unsigned high) { return std::uniform_int_distribution<unsigned>(low, high)(m_rng); }

    // Short 8.3 names or long names with spaces and mixed case; numbered so none collide.
    std::string name(bool directory) {
        const unsigned n = ++m_names;
        if (pick(0, 2) == 0) {
            return (directory ? "D" : "F") + std::to_string(n) + (directory ? "" : ".BIN");
        }
        std::string text = directory ? "Folder with a long name " : "File with a Long Name ";
        text += std::string(pick(0, 20), 'x') + " " + std::to_string(n);
        return directory ? text : text + ".data";
    }

    // Empty, one byte, exact cluster multiples, or up to a few clusters and odd.
    std::uint32_t size() {
        switch (pick(0, 4)) {
        case 0: return 0;
        case 1: return 1;
        case 2: return m_clusterBytes * pick(1, 4);
        default: return pick(2, 200000);
        }
    }

    fs::path hostFile(std::uint32_t bytes) {
        const fs::path file = m_scratch / ("h" + std::to_string(++m_files));
        std::vector<std::uint8_t> content(bytes);
        for (auto& b : content) b = static_cast<std::uint8_t>(m_rng());
        testsupport::writeFileBytes(file, content);
        return file;
    }

    std::mt19937& m_rng;
    fs::path m_scratch;
    std::uint32_t m_clusterBytes;
    unsigned m_names = 0;
    unsigned m_files = 0;
};

TEST(CaptureRestoreProperty, GeneratedVolumesComeBackWholeOnLargerAndSmallerDisks) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("fsck.fat") ||
        !testsupport::haveProgram("mcopy") || !testsupport::haveProgram("mformat")) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    const unsigned volumes = envNumber("DORVIX_PROPERTY_VOLUMES", 6);
    const unsigned seed = envNumber("DORVIX_PROPERTY_SEED", 20261210);
    std::mt19937 rng(seed);
    const unsigned clusterSizes[] = {2, 4, 8, 16, 32, 64};
    for (unsigned v = 0; v < volumes; ++v) {
        const unsigned spc = clusterSizes[v % 6];
        const bool mformat = rng() % 2 == 1;
        const bool labelled = rng() % 3 != 0;
        // A FAT16 cluster count, kept near the low end so the volumes stay small.
        const std::uint32_t clusters = 4200 + rng() % 2000;
        const std::uint32_t sectors = (clusters * spc + 600) / 16 * 16;
        SCOPED_TRACE("seed " + std::to_string(seed) + " volume " + std::to_string(v) + ": " +
                     (mformat ? "mformat" : "mkfs.fat") + ", " + std::to_string(spc) + " sectors per cluster, " +
                     std::to_string(sectors) + " sectors" + (labelled ? ", labelled" : ""));
        TempDir dir;
        const fs::path vol = dir / "source.vol";
        const std::string label = "VOL" + std::to_string(v);
        if (mformat) {
            must(mtoolsEnv() + "mformat -i " + shellQuote(vol.string()) + " -C -T " + std::to_string(sectors) +
                 " -H 32 -h 16 -s 63 -c " + std::to_string(spc) + (labelled ? " -v " + label : "") + " ::");
        } else {
            must("mkfs.fat -F 16 -s " + std::to_string(spc) + " -S 512 -h 32 -f " + std::to_string(1 + rng() % 2) +
                 (labelled ? " -n " + label : "") + " -C " + shellQuote(vol.string()) + " " +
                 std::to_string(sectors / 2) + " >/dev/null");
        }
        TreeGenerator generator(rng, dir / "files", spc * 512);
        must(mtoolsEnv() + "V=" + shellQuote(vol.string()) + "; " + generator.script());
        const fs::path source = dir / "source.disk";
        wrapVolumeAsDisk(vol, source, sectors);
        const fs::path original = extractPartition(source, dir / "original.vol");
        expectFsckClean(original);

        const fs::path target = dir / "target.disk";
        const fs::path table =
            writeDeviceTable(dir.path(), {{1, source.string()}, {2, target.string() + " heads=16 sectors=63"}});
        auto capture = runDorvix(table, "-y -nor -imgcopy -td:1 CAPTURE.IMG");
        ASSERT_EQ(capture.exitCode, 0) << capture.output;

        // Larger than the source, and smaller (still above the 8400 sectors a FAT16 disk needs).
        const std::uint64_t targets[] = {std::uint64_t{sectors} + 40000, std::max<std::uint64_t>(sectors / 2, 12000)};
        for (const std::uint64_t targetSectors : targets) {
            SCOPED_TRACE("target of " + std::to_string(targetSectors) + " sectors");
            makeBlankDisk(target, targetSectors);
            auto restore = runDorvix(table, "-y -nor -td:2 CAPTURE.IMG");
            ASSERT_EQ(restore.exitCode, 0) << restore.output;
            const fs::path restored = extractPartition(target, dir / "restored.vol");
            expectFsckClean(restored);
            expectSameTree(original, restored, dir / ("trees" + std::to_string(targetSectors)));
            fs::remove(restored);
        }
    }
}

}  // namespace
