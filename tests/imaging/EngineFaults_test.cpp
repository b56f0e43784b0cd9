// Device and image-file faults in the middle of the engines. Each engine runs once on memory
// disks and image files behind the fault wrappers to learn which reads, writes and flushes it
// makes on each; then each of those fails in turn (a loop's many transfers sampled at their
// first, middle and last; every write also failing half-way through). Every case must end in
// the engine's own error message and failure result, a capture must leave no file behind and
// never write its source, and a restore or flat write must never write outside what it planned
// to write, nor write its image file.

#include "DorvixTestSupport.h"
#include "TestDisks.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"

#include "engines/Engines.h"
#include "front/MainFlow.h"
#include "records/ByteOrder.h"
#include "front/StringTable.h"
#include "platform/Pause.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace dorvix;
using namespace dorvixtest;

constexpr std::uint8_t kSource = 1;
constexpr std::uint8_t kTarget = 2;

// The source: 17 cylinders of 16 x 32 sectors, partition 1 at sector 32 holding the smallest
// FAT16 volume the capture takes (2 sectors per cluster, a little over 4085 clusters).
constexpr std::uint32_t kSourceHeads = 16;
constexpr std::uint32_t kSourceTrack = 32;
constexpr std::uint32_t kSourceSectors = 17 * kSourceHeads * kSourceTrack;
constexpr std::uint32_t kPartitionStart = 32;
// The target: 20 cylinders of 16 x 63 sectors, blank.
constexpr std::uint32_t kTargetSectors = 20 * 16 * 63;

enum class Engine { RestoreFat, RestoreFlat, WriteFlat, CaptureFlat, CaptureFat };

const char* engineName(Engine e) {
    switch (e) {
    case Engine::RestoreFat: return "restore of a FAT image";
    case Engine::RestoreFlat: return "restore of a flat image";
    case Engine::WriteFlat: return "flat write";
    case Engine::CaptureFlat: return "flat capture";
    case Engine::CaptureFat: return "FAT-aware capture";
    }
    return "";
}

bool isCapture(Engine e) { return e == Engine::CaptureFlat || e == Engine::CaptureFat; }

// A source volume made by mkfs.fat and mtools, and the two images our captures make of it on
// fault-free memory disks; made once for the whole table.
struct Sources {
    testsupport::TempDir dir;
    std::vector<std::uint8_t> disk;
    fs::path fatImage;
    fs::path flatImage;
    std::string problem;  // why the sources could not be made
};

MemoryMedium sourceMedium(const Sources& s) {
    MemoryMedium m = MemoryMedium::ofSectors(kSourceSectors, kSourceHeads, kSourceTrack);
    m.bytes = s.disk;
    return m;
}

std::unique_ptr<Sources> makeSources() {
    auto s = std::make_unique<Sources>();
    const fs::path file = s->dir / "source.disk";
    testsupport::DiskShape shape;
    shape.partitionStart = kPartitionStart;
    shape.partitionSectors = kSourceSectors - kPartitionStart;
    shape.sectorsPerCluster = 2;
    shape.rootEntries = 64;
    const std::string ini = "[Image]\r\nKMVBIOS=KQ7B2,KQ3A1\r\nModDate=2001-01-01 00:00:00\r\n";
    if (!testsupport::makeFatDisk(file, shape) || !testsupport::mtoolsOk(file, kPartitionStart, "mmd", "::/SUB") ||
        !testsupport::putFile(file, kPartitionStart, "::/IMAGE.INI", std::vector<std::uint8_t>(ini.begin(), ini.end())) ||
        !testsupport::putFile(file, kPartitionStart, "::/README.TXT", testsupport::patternBytes(5000, 1)) ||
        !testsupport::putFile(file, kPartitionStart, "::/SUB/DATA.BIN", testsupport::patternBytes(150000, 2))) {
        s->problem = "the source volume could not be made";
        return s;
    }
    s->disk = testsupport::readFileBytes(file);
    s->disk.resize(std::size_t{kSourceSectors} * 512, 0);
    s->fatImage = s->dir / "FAT.IMG";
    s->flatImage = s->dir / "FLAT.IMG";
    MemoryDevices devices;
    devices.add(kSource, sourceMedium(*s));
    ConsoleCapture quiet;
    ScopedPause noPause([](std::uint32_t) {});
    ScopedFlags flags({false, true, false});
    if (captureFatImage(devices, nullptr, kSource, std::nullopt, s->fatImage.string()) != 0 ||
        captureFlatImage(devices, nullptr, kSource, s->flatImage.string()) != 0) {
        s->problem = "the images could not be captured:\n" + quiet.output();
    }
    return s;
}

const Sources* sources() {
    static std::unique_ptr<Sources> made;
    if (!made) {
        if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) {
            return nullptr;
        }
        made = makeSources();
    }
    return made.get();
}

// Where a fault strikes: the engine's disk, or its image file (read by a restore or flat write,
// written by a capture).
enum class Side { Disk, Image };

struct Outcome {
    int result = 0;
    std::string console;
    FaultState faults;
    FaultState imageFaults;
    std::vector<std::uint8_t> disk;  // the engine's disk afterwards
    std::vector<std::string> leftovers;  // files in the capture's folder afterwards
};

Outcome runEngine(const Sources& s, Engine engine, Fault fault, Side side = Side::Disk) {
    MemoryDevices devices;
    MemoryDevices::Disk& disk = isCapture(engine) ? devices.add(kSource, sourceMedium(s))
                                                  : devices.add(kTarget, MemoryMedium::ofSectors(kTargetSectors, 16, 63));
    (side == Side::Disk ? disk.faults : devices.imageFaults).fault = fault;
    const fs::path folder = s.dir / "out";
    fs::remove_all(folder);
    fs::create_directory(folder);
    const std::string output = (folder / "OUT.IMG").string();

    Outcome out;
    {
        ConsoleCapture console;
        ScopedPause noPause([](std::uint32_t) {});
        ScopedFlags flags({false, true, false});
        switch (engine) {
        case Engine::RestoreFat:
            out.result = restoreFatImage(devices, nullptr, s.fatImage.string(), kTarget, std::nullopt, std::nullopt);
            break;
        case Engine::RestoreFlat:
            out.result = restoreFatImage(devices, nullptr, s.flatImage.string(), kTarget, std::nullopt, std::nullopt);
            break;
        case Engine::WriteFlat:
            out.result = writeFlatImage(devices, nullptr, s.flatImage.string(), kTarget);
            break;
        case Engine::CaptureFlat:
            out.result = captureFlatImage(devices, nullptr, kSource, output);
            break;
        case Engine::CaptureFat:
            out.result = captureFatImage(devices, nullptr, kSource, std::nullopt, output);
            break;
        }
        out.console = console.output();
    }
    out.faults = disk.faults;
    out.imageFaults = devices.imageFaults;
    out.disk = disk.medium.bytes;
    for (const auto& entry : fs::directory_iterator(folder)) {
        out.leftovers.push_back(entry.path().filename().string());
    }
    return out;
}

// The calls of one kind worth failing, by their number (from 1): every call outside a loop,
// and the first, middle and last of each run of equal, back-to-back transfers (a loop).
std::vector<unsigned> sampledCalls(const std::vector<DiskCall>& calls, DiskOp op) {
    std::vector<DiskCall> mine;
    for (const DiskCall& call : calls) {
        if (call.op == op) {
            mine.push_back(call);
        }
    }
    std::vector<unsigned> picks;
    for (std::size_t i = 0; i < mine.size();) {
        std::size_t j = i;
        while (op != DiskOp::Flush && j + 1 < mine.size() && mine[j].count == mine[i].count &&
               mine[j + 1].first == mine[j].first + mine[j].count) {
            ++j;
        }
        for (std::size_t k : {i, (i + j) / 2, j}) {
            if (picks.empty() || picks.back() != k + 1) {
                picks.push_back(static_cast<unsigned>(k + 1));
            }
        }
        i = j + 1;
    }
    return picks;
}

// The read that probes sector 0 for the old partition's track length when a disk is opened:
// when it fails the disk record takes the driver's geometry, by design.
bool isGeometryProbe(const std::vector<DiskCall>& calls, DiskOp op, unsigned nth) {
    unsigned seen = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == op && ++seen == nth) {
            return op == DiskOp::Read && i > 0 && calls[i - 1].op == DiskOp::Open && calls[i].first == 0 &&
                   calls[i].count == 1;
        }
    }
    return false;
}

// The text of a message up to its first conversion or line end, to find it in the console.
std::string messageStem(const char* message) {
    std::string stem(message);
    return stem.substr(0, std::min(stem.find('%'), stem.find_first_of("\r\n")));
}

// The failure results and the messages one engine may end with after a fault of `op`.
struct Expected {
    std::vector<int> results;
    std::vector<std::string> messages;
};

Expected expectedFailure(Engine engine, DiskOp op, Side side) {
    auto stems = [](std::initializer_list<const char*> list) {
        std::vector<std::string> out;
        for (const char* m : list) out.push_back(messageStem(m));
        return out;
    };
    if (side == Side::Image) {
        switch (engine) {
        case Engine::RestoreFat:
            return {{-1}, stems({text::kHeaderReadFailed, text::kRestoreImageReadFailed, text::kRestoreReadData})};
        case Engine::RestoreFlat:
            // The restore reads the header itself before it hands a flat image to the flat write.
            return {{-1, 4}, stems({text::kHeaderReadFailed, text::kFlatReadError})};
        case Engine::WriteFlat:
            return {{4}, stems({text::kHeaderReadFailed, text::kFlatReadError})};
        case Engine::CaptureFlat:
            // Reading back the image's volume to leave the folder out: a failed read there is
            // reported as a volume that could not be opened.
            if (op == DiskOp::Read) return {{5, 3}, stems({text::kFlatCaptureOpenVolumeFailed, text::kFlatCaptureWriteFailed})};
            return {{3}, stems({text::kFlatCaptureWriteFailed, text::kFlatCaptureHeaderWriteFailed,
                                text::kImageFileWriteError})};
        case Engine::CaptureFat:
            return {{-1}, stems({text::kCopyFailed, text::kImageFileWriteError})};
        }
        return {};
    }
    switch (engine) {
    case Engine::RestoreFat:
        if (op == DiskOp::Flush) return {{-1}, stems({text::kRestoreWriteData})};
        return {{-1}, stems({text::kRestoreWriteMbr, text::kRestoreWritePbr, text::kRestoreWriteData,
                           text::kRestoreRebuildFailed, text::kRestoreWriteFat})};
    case Engine::RestoreFlat:
    case Engine::WriteFlat:
        return {{4}, stems({text::kFlatWriteError})};
    case Engine::CaptureFlat:
        return {{3}, stems({text::kFlatCaptureReadFailed})};
    case Engine::CaptureFat:
        return {{-1}, stems({text::kCannotMountSource, text::kCopyFailed, text::kSourceDamaged})};
    }
    return {};
}

const char* opName(DiskOp op) {
    return op == DiskOp::Read ? "read" : op == DiskOp::Write ? "write" : op == DiskOp::Flush ? "flush" : "open";
}

class EngineFaults : public ::testing::TestWithParam<Engine> {};

TEST_P(EngineFaults, EveryFailingTransferEndsInTheEnginesErrorAndStaysInsideItsPlan) {
    const Sources* s = sources();
    if (s == nullptr) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    ASSERT_TRUE(s->problem.empty()) << s->problem;
    const Engine engine = GetParam();

    const Outcome clean = runEngine(*s, engine, Fault{});
    ASSERT_EQ(clean.result, 0) << clean.console;
    const std::vector<std::uint8_t> source = sourceMedium(*s).bytes;
    // Where the engine may write: a restore the MBR and its new partition, a flat write the image's body.
    std::uint32_t allowedFirst = 0;
    std::uint32_t allowedEnd = 0;
    if (engine == Engine::RestoreFat) {
        allowedFirst = load32(clean.disk, 454);
        allowedEnd = allowedFirst + load32(clean.disk, 458);
        ASSERT_GT(allowedFirst, 0u);
    } else if (engine == Engine::RestoreFlat || engine == Engine::WriteFlat) {
        allowedEnd = static_cast<std::uint32_t>((fs::file_size(s->flatImage) - 512) / 512);
    }
    if (isCapture(engine)) {
        EXPECT_EQ(clean.faults.counts.writes, 0u);
        EXPECT_EQ(clean.faults.counts.flushes, 0u);
        EXPECT_GE(clean.imageFaults.counts.flushes, 1u) << "the image is named before it is flushed";
    } else {
        EXPECT_GE(clean.faults.counts.flushes, 1u) << "nothing is reported done before it is flushed";
        EXPECT_EQ(clean.imageFaults.counts.writes, 0u) << "the image file was written";
        EXPECT_GE(clean.imageFaults.counts.reads, 1u);
    }

    struct Case {
        Side side;
        Fault fault;
        bool tolerated;
    };
    std::vector<Case> cases;
    for (Side side : {Side::Disk, Side::Image}) {
        const std::vector<DiskCall>& calls = side == Side::Disk ? clean.faults.calls : clean.imageFaults.calls;
        for (DiskOp op : {DiskOp::Read, DiskOp::Write, DiskOp::Flush}) {
            for (unsigned nth : sampledCalls(calls, op)) {
                const bool tolerated = side == Side::Disk && isGeometryProbe(calls, op, nth);
                cases.push_back({side, Fault{op, nth, false}, tolerated});
                if (op == DiskOp::Write) {
                    cases.push_back({side, Fault{op, nth, true}, false});
                }
            }
        }
    }
    ASSERT_FALSE(cases.empty());
    RecordProperty("reads", static_cast<int>(clean.faults.counts.reads));
    RecordProperty("writes", static_cast<int>(clean.faults.counts.writes));
    RecordProperty("flushes", static_cast<int>(clean.faults.counts.flushes));
    RecordProperty("image reads", static_cast<int>(clean.imageFaults.counts.reads));
    RecordProperty("image writes", static_cast<int>(clean.imageFaults.counts.writes));
    RecordProperty("image flushes", static_cast<int>(clean.imageFaults.counts.flushes));
    RecordProperty("cases", static_cast<int>(cases.size()));

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(engineName(engine)) + ": " + (c.fault.shortWrite ? "short " : "") +
                     (c.side == Side::Image ? "image " : "disk ") + opName(c.fault.op) + " #" +
                     std::to_string(c.fault.nth));
        const Outcome run = runEngine(*s, engine, c.fault, c.side);
        ASSERT_TRUE((c.side == Side::Disk ? run.faults : run.imageFaults).fired);
        if (isCapture(engine)) {
            EXPECT_EQ(run.faults.counts.writes, 0u) << "a capture wrote its source";
            EXPECT_TRUE(run.disk == source) << "a capture changed its source";
        } else {
            for (const DiskCall& call : run.faults.calls) {
                if (call.op != DiskOp::Write) continue;
                const bool mbr = engine == Engine::RestoreFat && call.first == 0 && call.count == 1;
                const bool inside =
                    call.first >= allowedFirst && std::uint64_t{call.first} + call.count <= allowedEnd;
                EXPECT_TRUE(mbr || inside) << "write of " << call.count << " sectors at " << call.first;
            }
        }
        if (c.tolerated) {
            // The geometry probe of a blank or unreadable sector 0: the run goes on as without it.
            EXPECT_EQ(run.result, 0) << run.console;
            continue;
        }
        const Expected expected = expectedFailure(engine, c.fault.op, c.side);
        EXPECT_NE(std::find(expected.results.begin(), expected.results.end(), run.result), expected.results.end())
            << "result " << run.result << "\n" << run.console;
        EXPECT_EQ(run.console.find("ompleted successfully"), std::string::npos) << run.console;
        EXPECT_TRUE(std::any_of(expected.messages.begin(), expected.messages.end(),
                                [&](const std::string& m) { return run.console.find(m) != std::string::npos; }))
            << run.console;
        if (isCapture(engine)) {
            EXPECT_TRUE(run.leftovers.empty()) << run.leftovers.front();
        }
        if (engine == Engine::WriteFlat || engine == Engine::RestoreFlat) {
            // Nothing said 100 % before the failure, and the failure does not end a percentage's line.
            EXPECT_EQ(run.console.find("100% completed."), std::string::npos) << run.console;
            std::size_t at = std::string::npos;
            for (const std::string& m : expected.messages) {
                at = std::min(at, run.console.find(m));
            }
            ASSERT_NE(at, std::string::npos) << run.console;
            EXPECT_FALSE(run.console.substr(0, at).ends_with("completed.")) << run.console;
        }
    }
}

// A read past the disk's end, where a stray partition entry points, is no read failure of the
// source: such a disk is refused because that partition cannot be captured whole.
TEST(FlatCaptureBiosList, APartitionPastTheDisksEndIsNoReadFailure) {
    testsupport::TempDir dir;
    MemoryDevices devices;
    MemoryMedium medium = MemoryMedium::ofSectors(4 * 16 * 63, 16, 63);
    const std::vector<std::uint8_t> sector0 = partitionedSector0(63);
    std::copy(sector0.begin(), sector0.end(), medium.bytes.begin());
    store32(medium.bytes, 458, 100000);  // partition 1 reaches far past the disk's 4032 sectors
    store32(medium.bytes, 454, 5000);    // and starts past it
    devices.add(kSource, std::move(medium));
    ConsoleCapture console;
    ScopedPause noPause([](std::uint32_t) {});
    const fs::path image = dir / "FLAT.IMG";
    EXPECT_EQ(captureFlatImage(devices, nullptr, kSource, image.string()), 3)
        << console.output();
    EXPECT_NE(console.output().find("Partition 1 of the source disk ends at sector 105000, but the disk has only "
                                    "4032 sectors"),
              std::string::npos)
        << console.output();
    EXPECT_EQ(console.output().find(messageStem(text::kFlatCaptureReadFailed)), std::string::npos)
        << console.output();
    EXPECT_FALSE(fs::exists(image));
}

// The file behind the source disk (as the provider names it) given as the image: the capture
// would put the image in its place. Both captures refuse it, the file untouched, having read
// nothing but the geometry probe of the open.
TEST(CaptureSource, ImageNamedAsTheSourceFileIsRefused) {
    const Sources* s = sources();
    if (s == nullptr) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    ASSERT_TRUE(s->problem.empty()) << s->problem;
    for (const Engine engine : {Engine::CaptureFlat, Engine::CaptureFat}) {
        SCOPED_TRACE(engineName(engine));
        testsupport::TempDir dir;
        MemoryDevices devices;
        const fs::path file = dir / "source.disk";
        const std::vector<std::uint8_t> bytes = testsupport::patternBytes(4096, 3);
        testsupport::writeFileBytes(file, bytes);
        devices.add(kSource, sourceMedium(*s)).path = file.string();
        ConsoleCapture console;
        ScopedPause noPause([](std::uint32_t) {});
        const std::string image = (dir / "." / "source.disk").string();
        const int result = engine == Engine::CaptureFlat
                               ? captureFlatImage(devices, nullptr, kSource, image)
                               : captureFatImage(devices, nullptr, kSource, std::nullopt, image);
        EXPECT_EQ(result, engine == Engine::CaptureFlat ? 3 : -1);
        EXPECT_NE(console.output().find(messageStem(text::kImageIsSource)), std::string::npos) << console.output();
        EXPECT_EQ(testsupport::readFileBytes(file), bytes);
        EXPECT_EQ(devices[kSource].faults.counts.reads, 1u);
    }
}

// A source whose file systems cannot be taken away (busy) is refused; as nothing was unmounted,
// nothing is mounted again (which would only fail as well), and no file is left.
TEST(CaptureSource, BusySourceIsRefusedWithoutMountingItAgain) {
    const Sources* s = sources();
    if (s == nullptr) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    ASSERT_TRUE(s->problem.empty()) << s->problem;
    for (const Engine engine : {Engine::CaptureFlat, Engine::CaptureFat}) {
        SCOPED_TRACE(engineName(engine));
        testsupport::TempDir dir;
        MemoryDevices devices;
        devices.add(kSource, sourceMedium(*s)).dismountError = EBUSY;
        devices[kSource].mountError = EBUSY;
        ConsoleCapture console;
        ScopedPause noPause([](std::uint32_t) {});
        const std::string image = (dir / "OUT.IMG").string();
        const int result = engine == Engine::CaptureFlat
                               ? captureFlatImage(devices, nullptr, kSource, image)
                               : captureFatImage(devices, nullptr, kSource, std::nullopt, image);
        EXPECT_EQ(result, engine == Engine::CaptureFlat ? 3 : -1) << console.output();
        // The flat capture reads the BIOS list and the volume each under its own dismount.
        EXPECT_GE(devices[kSource].dismounts, 1u);
        EXPECT_EQ(devices[kSource].mounts, 0u);
        EXPECT_TRUE(fs::is_empty(dir.path()));
    }
}

// The main flow hands its engines the disks of the provider its services were made for: a
// flush that fails under a restore or a flat write started from the command line ends in the
// engine's error and its exit code, never in the completion line.
TEST(MainFlowDisks, AFailedFlushEndsTheRunInAnError) {
    const Sources* s = sources();
    if (s == nullptr) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    ASSERT_TRUE(s->problem.empty()) << s->problem;
    struct Case {
        std::string commandLine;
        bool failFlush;
        int exitCode;
        const char* message;
    };
    const std::string fat = s->fatImage.string();
    const std::string flat = s->flatImage.string();
    const std::vector<Case> cases = {
        {"-y -nor -xb -td:2 " + fat, false, 0, text::kRestoreCompleted},
        {"-y -nor -xb -td:2 " + fat, true, -1, text::kRestoreWriteData},
        {"-writeflat -y -nor -xb -td:2 " + flat, false, 0, text::kFlatCompleted},
        {"-writeflat -y -nor -xb -td:2 " + flat, true, 4, text::kFlatWriteError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine + (c.failFlush ? " (flush fails)" : ""));
        MemoryDevices devices;
        devices.add(kTarget, MemoryMedium::ofSectors(kTargetSectors, 16, 63)).faults.fault = {DiskOp::Flush, 1};
        if (!c.failFlush) {
            devices[kTarget].faults.fault = Fault{};
        }
        ConsoleCapture console;
        ScopedPause noPause([](std::uint32_t) {});
        ScopedFlags flags({});
        EXPECT_EQ(runMainFlow(c.commandLine, platformServices(devices)), c.exitCode) << console.output();
        EXPECT_NE(console.output().find(messageStem(c.message)), std::string::npos) << console.output();
        EXPECT_EQ(devices[kTarget].faults.counts.flushes, 1u);
        EXPECT_GT(devices[kTarget].faults.counts.writes, 0u);
        if (c.failFlush) {
            EXPECT_EQ(console.output().find("ompleted successfully"), std::string::npos) << console.output();
        }
    }
}

// -imgcopy reads the source's BIOS list before the capture; a read of it that fails ends the
// run, with no image, instead of capturing with the default list.
TEST(MainFlowDisks, AFailedReadOfTheBiosListEndsTheFatCapture) {
    const Sources* s = sources();
    if (s == nullptr) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    ASSERT_TRUE(s->problem.empty()) << s->problem;
    for (const unsigned failingRead : {0u, 2u, 3u}) {  // none, the list's MBR, its boot sector
        SCOPED_TRACE(failingRead);
        testsupport::TempDir dir;
        MemoryDevices devices;
        devices.add(kSource, sourceMedium(*s)).faults.fault = {DiskOp::Read, failingRead};
        ConsoleCapture console;
        ScopedPause noPause([](std::uint32_t) {});
        ScopedFlags flags({});
        const fs::path image = dir / "OUT.IMG";
        const int exitCode = runMainFlow("-imgcopy -nor -td:1 " + image.string(), platformServices(devices));
        EXPECT_EQ(exitCode, failingRead == 0 ? 0 : -1) << console.output();
        EXPECT_EQ(fs::exists(image), failingRead == 0);
        EXPECT_EQ(devices[kSource].faults.counts.writes, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineFaults,
                         ::testing::Values(Engine::RestoreFat, Engine::RestoreFlat, Engine::WriteFlat,
                                           Engine::CaptureFlat, Engine::CaptureFat),
                         [](const ::testing::TestParamInfo<Engine>& param) {
                             switch (param.param) {
                             case Engine::RestoreFat: return "RestoreFatImage";
                             case Engine::RestoreFlat: return "RestoreFlatImage";
                             case Engine::WriteFlat: return "WriteFlatImage";
                             case Engine::CaptureFlat: return "CaptureFlatImage";
                             case Engine::CaptureFat: return "CaptureFatImage";
                             }
                             return "";
                         });

}  // namespace
