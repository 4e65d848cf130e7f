// DEVICENAME forms, and entries pcscd can read (it refuses to start over one it cannot).
#include "ReaderConf.h"

#include <gtest/gtest.h>

namespace {

using hv::ifdhandler::CaseTarget;
using hv::ifdhandler::isReaderConfWord;
using hv::ifdhandler::parseDeviceName;
using hv::ifdhandler::readerConfEntry;

TEST(ReaderConf, DeviceNamesOfTheDaemonAndOfTheSimulatedCase) {
    EXPECT_EQ(parseDeviceName("vorasel-accessoryd:/run/vorasel-accessoryd.sock"),
              (CaseTarget{CaseTarget::Kind::Daemon, "/run/vorasel-accessoryd.sock", {}}));
    EXPECT_EQ(parseDeviceName("vorasel-simulated:t1"),
              (CaseTarget{CaseTarget::Kind::Simulated, {}, "t1"}));
    EXPECT_EQ(parseDeviceName("vorasel-simulated:"),
              (CaseTarget{CaseTarget::Kind::Simulated, {}, ""}));
}

TEST(ReaderConf, OtherDeviceNamesAreRefused) {
    EXPECT_FALSE(parseDeviceName(""));
    EXPECT_FALSE(parseDeviceName("/dev/null"));
    EXPECT_FALSE(parseDeviceName("vorasel-accessoryd:"));
    EXPECT_FALSE(parseDeviceName("vorasel-accessoryd:/"));
    EXPECT_FALSE(parseDeviceName("vorasel-accessoryd:relative.sock"));
    EXPECT_FALSE(parseDeviceName("vorasel-accessoryd/tmp/x.sock"));
    EXPECT_FALSE(parseDeviceName("usb:0x1234/0x5678"));
}

TEST(ReaderConf, WordsPcscdAccepts) {
    EXPECT_TRUE(isReaderConfWord("vorasel-accessoryd:/tmp/a_b.c@d=e/F-9.sock"));
    EXPECT_FALSE(isReaderConfWord(""));
    EXPECT_FALSE(isReaderConfWord("/tmp/with space.sock"));
    EXPECT_FALSE(isReaderConfWord("/tmp/quote\".sock"));
    EXPECT_FALSE(isReaderConfWord("/tmp/hash#.sock"));
    EXPECT_FALSE(isReaderConfWord("/tmp/caf\xc3\xa9.sock"));
}

TEST(ReaderConf, EntryForTheDaemon) {
    std::string error;
    const std::string entry =
        readerConfEntry("/run/case.sock", "/usr/lib/pcsc/drivers/serial/libifdvorasel.so", error);
    EXPECT_EQ(entry,
              "# The Vorasel case served by vorasel-accessoryd at /run/case.sock\n"
              "FRIENDLYNAME \"Halvane Smart Card Reader\"\n"
              "DEVICENAME   vorasel-accessoryd:/run/case.sock\n"
              "LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvorasel.so\n");
    EXPECT_TRUE(error.empty());
}

TEST(ReaderConf, EntriesPcscdCouldNotReadAreRefused) {
    std::string error;
    EXPECT_EQ(readerConfEntry("case.sock", "/lib/m.so", error), "");
    EXPECT_NE(error.find("absolute"), std::string::npos);
    error.clear();
    EXPECT_EQ(readerConfEntry("/tmp/my case.sock", "/lib/m.so", error), "");
    EXPECT_NE(error.find("A-Z a-z 0-9"), std::string::npos);
    error.clear();
    EXPECT_EQ(readerConfEntry("/tmp/case.sock", "lib/m.so", error), "");
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_EQ(readerConfEntry("/tmp/case.sock", "/opt/my lib/m.so", error), "");
    EXPECT_FALSE(error.empty());
}

}  // namespace
