#include "front/DeviceDump.h"

#include "DorvixTestSupport.h"
#include "TestSupport.h"
#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

namespace {

std::string noDevice(int n) { return "DSK" + std::to_string(n) + ": <no device>\r\n"; }

TEST(DeviceDump, NoDevicesGivesNineLines) {
    dorvix::TableDeviceProvider provider({});
    dorvixtest::ConsoleCapture console;
    dorvix::DebugCapture debug;
    dorvix::dumpDevices(provider);
    std::string expected;
    for (int n = 1; n <= 9; ++n) {
        expected += noDevice(n);
    }
    EXPECT_EQ(console.output(), expected);
    // The disk layer's reasons go to the debug output, not the console.
    EXPECT_NE(debug.text().find("Failed to open \"DSK9:\""), std::string::npos);
}

TEST(DeviceDump, ListsDerivedGeometryOfDevicesOneToNine) {
    testsupport::TempDir dir;
    // 64 MiB with a partition table whose first partition starts at 63, driver without heads.
    std::vector<std::uint8_t> partitioned(64u << 20, 0);
    const auto sector0 = dorvixtest::partitionedSector0(63);
    std::copy(sector0.begin(), sector0.end(), partitioned.begin());
    testsupport::writeFileBytes(dir / "part.img", partitioned);
    testsupport::writeFileBytes(dir / "blank.img", std::vector<std::uint8_t>(1u << 20, 0));
    const std::string table = "DSK2: " + (dir / "part.img").string() + "\n" +
                              "DSK4: " + (dir / "blank.img").string() + " heads=4 sectors=16\n" +
                              "DSK9: " + (dir / "blank.img").string() + " bytes=4096 total=65536 heads=300\n" +
                              "DSK10: " + (dir / "blank.img").string() + "\n";
    dorvix::TableDeviceProvider provider(
        dorvix::DeviceTable::parse(table, "t", [](const std::string& l) { ADD_FAILURE() << l; }));
    dorvixtest::ConsoleCapture console;
    dorvix::DebugCapture debug;
    dorvix::dumpDevices(provider);
    // 131072 sectors: 8 cylinders of 16065 = 128520 = 0x1F608.
    // Device 9: 65536 / (300 x 63) = 3 cylinders; heads wider than two digits print in full.
    EXPECT_EQ(console.output(), noDevice(1) +
                                    "\\DSK2: TS:0001F608 BS:0200 CYLS:0008 TRKS:FF SECS:3F\r\n" + noDevice(3) +
                                    "\\DSK4: TS:00000800 BS:0200 CYLS:0020 TRKS:04 SECS:10\r\n" + noDevice(5) +
                                    noDevice(6) + noDevice(7) + noDevice(8) +
                                    "\\DSK9: TS:0000DD7C BS:1000 CYLS:0003 TRKS:12C SECS:3F\r\n");
}

}  // namespace
