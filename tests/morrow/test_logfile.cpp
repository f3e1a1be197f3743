// CLogFile against its own scratch log directory: names, prefixes, switches, the
// directory walk and over-long names.
#include "morrow/LogFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "log_test_clock.h"
#include "testutil.h"

using logtest::Local;
using logtest::PinClock;
using logtest::Stdout;
using testutil::Exists;
using testutil::ReadAll;
using testutil::TempDir;

namespace {

const char kStamp[] = "[2026-01-05,07:03:09] ";

class LogFileTest : public testing::Test {
protected:
    LogFileTest() : clock_(Local(2026, 1, 5, 7, 3, 9)) {
        UsePath(dir_.path());
        log_.SetTableID(7);
    }
    void UsePath(std::string path) { log_.SetLogPath(&path[0]); }
    std::string Hourly() const { return dir_.file("7/2026_1_5_7.txt"); }
    std::string ErrFile() const { return dir_.file("7/Err_2026_1_5_7.txt"); }
    std::string FatalFile() const { return dir_.file("7/Fatal_2026_1_5_7.txt"); }

    TempDir dir_;
    PinClock clock_;
    CLogFile log_;
};

TEST_F(LogFileTest, HourlyNameUnpaddedPrefixPadded) {
    log_.SetLogFlag(2);
    EXPECT_EQ("", Stdout([&] { log_.Log("hello %d\n", 42); }));
    EXPECT_EQ(std::string(kStamp) + "hello 42\n", ReadAll(Hourly()));
}

TEST_F(LogFileTest, LastSecondOfDayAndMidnightGoToTwoHourlyFiles) {
    log_.SetLogFlag(2);
    {
        PinClock late(Local(2026, 12, 31, 23, 59, 59));
        log_.Log("late\n");
    }
    {
        PinClock early(Local(2027, 1, 1, 0, 0, 0));
        log_.Log("early\n");
    }
    EXPECT_EQ("[2026-12-31,23:59:59] late\n", ReadAll(dir_.file("7/2026_12_31_23.txt")));
    EXPECT_EQ("[2027-01-01,00:00:00] early\n", ReadAll(dir_.file("7/2027_1_1_0.txt")));
}

TEST_F(LogFileTest, ScreenFlagsWriteTheSameEntry) {
    log_.SetLogFlag(1);
    EXPECT_EQ(std::string(kStamp) + "one\n", Stdout([&] { log_.Log("one\n"); }));
    EXPECT_FALSE(Exists(dir_.file("7")));
    log_.SetLogFlag(3);
    EXPECT_EQ(std::string(kStamp) + "both\n", Stdout([&] { log_.Log("both\n"); }));
    EXPECT_EQ(std::string(kStamp) + "both\n", ReadAll(Hourly()));
}

TEST_F(LogFileTest, FlagsOutsideOneToThreeWriteAndCreateNothing) {
    UsePath(dir_.file("missing"));
    for (int flag : {0, 4, -1}) {
        log_.SetLogFlag(flag);
        EXPECT_EQ("", Stdout([&] { log_.Log("nothing\n"); })) << flag;
        EXPECT_FALSE(Exists(dir_.file("missing"))) << flag;
    }
}

TEST_F(LogFileTest, UnopenableHourlyFile) {
    // A regular file where a directory should be: neither open nor mkdir can succeed.
    ASSERT_TRUE(testutil::WriteAll(dir_.file("plain"), "x"));
    UsePath(dir_.file("plain"));
    log_.SetLogFlag(2);
    EXPECT_EQ("can not open log file!\n", Stdout([&] { log_.Log("lost\n"); }));
    log_.SetLogFlag(3);
    EXPECT_EQ(std::string(kStamp) + "screen\n", Stdout([&] { log_.Log("screen\n"); }));
    EXPECT_EQ("", Stdout([&] { log_.ErrLog("quiet\n"); }));
}

TEST_F(LogFileTest, DefaultFlagsErrLogWritesErrorFileOnly) {
    EXPECT_EQ("", Stdout([&] { log_.ErrLog("bad %s\n", "thing"); }));
    EXPECT_EQ(std::string(kStamp) + "bad thing\n", ReadAll(ErrFile()));
    EXPECT_FALSE(Exists(Hourly()));
}

TEST_F(LogFileTest, ErrLogCopiesCarryOneStamp) {
    PinClock ticking(Local(2026, 1, 5, 7, 3, 9), 1);
    log_.SetLogFlag(2);
    EXPECT_EQ("", Stdout([&] { log_.ErrLog("code %d\n", 7); }));
    EXPECT_EQ(std::string(kStamp) + "#error# code 7\n", ReadAll(Hourly()));
    EXPECT_EQ(std::string(kStamp) + "code 7\n", ReadAll(ErrFile()));
}

TEST_F(LogFileTest, FatalLogWritesBothCopiesAndSwitchesLogToFile) {
    log_.SetLogFlag(3);
    log_.SetErrLogFlag(0);
    EXPECT_EQ("", Stdout([&] { log_.FatalLog("boom %d\n", 1); }));
    EXPECT_EQ(std::string(kStamp) + "boom 1\n", ReadAll(FatalFile()));

    EXPECT_EQ("", Stdout([&] { log_.Log("after\n"); }));
    log_.ErrLog("err\n");
    EXPECT_EQ(
        std::string(kStamp) + "#fatal# boom 1\n" + kStamp + "after\n" + kStamp + "#error# err\n",
        ReadAll(Hourly()));
    EXPECT_EQ(std::string(kStamp) + "err\n", ReadAll(ErrFile()));
}

TEST_F(LogFileTest, FatalLogTicksClockOnce) {
    PinClock ticking(Local(2026, 1, 5, 7, 3, 9), 1);
    log_.FatalLog("f\n");
    EXPECT_EQ(std::string(kStamp) + "#fatal# f\n", ReadAll(Hourly()));
    EXPECT_EQ(std::string(kStamp) + "f\n", ReadAll(FatalFile()));
}

TEST_F(LogFileTest, LogFileNamedDefaultAndRunOn) {
    log_.SetLogFlag(0);
    log_.SetErrLogFlag(0);
    log_.LogFile("named.txt", "one %s", "two");
    log_.LogFile("named.txt", "three\n");
    log_.LogFile(nullptr, "dflt\n");
    EXPECT_EQ(std::string(kStamp) + "one two" + kStamp + "three\n",
              ReadAll(dir_.file("named.txt")));
    EXPECT_EQ(std::string(kStamp) + "dflt\n", ReadAll(dir_.file("default.txt")));
}

TEST_F(LogFileTest, LogFileMissingSubdirectoryIsNotCreated) {
    EXPECT_EQ("can not open log file!\n", Stdout([&] { log_.LogFile("nosub/f.txt", "x\n"); }));
    EXPECT_TRUE(Exists(dir_.file("7")));  // the walk ran, but stops at the table directory
    EXPECT_FALSE(Exists(dir_.file("nosub")));
}

TEST_F(LogFileTest, WalkCreatesChainFromNothing) {
    UsePath(dir_.file("a/b/c"));
    log_.SetLogFlag(2);
    log_.Log("deep\n");
    EXPECT_EQ(std::string(kStamp) + "deep\n", ReadAll(dir_.file("a/b/c/7/2026_1_5_7.txt")));
}

TEST_F(LogFileTest, WalkOfRelativePaths) {
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, mkdir(dir_.file("work").c_str(), 0777));
    ASSERT_EQ(0, chdir(dir_.file("work").c_str()));
    log_.SetLogFlag(2);
    UsePath("./here/x");
    log_.Log("dot\n");
    UsePath("../up/y");
    log_.Log("dotdot\n");
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_EQ(std::string(kStamp) + "dot\n", ReadAll(dir_.file("work/here/x/7/2026_1_5_7.txt")));
    EXPECT_EQ(std::string(kStamp) + "dotdot\n", ReadAll(dir_.file("up/y/7/2026_1_5_7.txt")));
}

TEST_F(LogFileTest, CreateLogPathWithEmptyPath) {
    UsePath("");
    EXPECT_EQ("CreateLogPath Error!\n", Stdout([&] { log_.CreateLogPath(); }));
}

TEST_F(LogFileTest, SetLogPathRefusesNullAndOverlongKeepingThePath) {
    EXPECT_EQ("SetLogPath Failed!\n", Stdout([&] { log_.SetLogPath(nullptr); }));
    std::string longPath = dir_.path() + "/" + std::string(300, 'p');
    EXPECT_EQ("SetLogPath Failed!\n", Stdout([&] { UsePath(longPath); }));
    log_.LogFile("kept.txt", "k\n");
    EXPECT_TRUE(Exists(dir_.file("kept.txt")));
}

// A composed name must fit 255 characters: the longest one is written, one more is refused.
TEST_F(LogFileTest, OverlongFileNameRefusedWithoutOverflow) {
    std::string sub = dir_.file(std::string(120, 'd'));
    ASSERT_EQ(0, mkdir(sub.c_str(), 0777));
    UsePath(sub);
    std::string fits(255 - sub.size() - 1, 'f');
    log_.LogFile(fits.c_str(), "ok\n");
    EXPECT_EQ(std::string(kStamp) + "ok\n", ReadAll(sub + "/" + fits));
    std::string over = fits + "g";
    EXPECT_EQ("can not open log file!\n", Stdout([&] { log_.LogFile(over.c_str(), "no\n"); }));
    EXPECT_FALSE(Exists(sub + "/7"));  // refused before any walk
}

TEST_F(LogFileTest, OverlongDirectoryWalkRefused) {
    // 254 characters: the directory fits, "<dir>/7" and the hourly names do not.
    std::string longDir = dir_.path() + "/" + std::string(254 - dir_.path().size() - 1, 'q');
    ASSERT_EQ(254u, longDir.size());
    UsePath(longDir);
    EXPECT_EQ("CreateLogPath Error!\n", Stdout([&] { log_.CreateLogPath(); }));
    log_.SetLogFlag(2);
    EXPECT_EQ("can not open log file!\n", Stdout([&] { log_.Log("no\n"); }));
    EXPECT_EQ("", Stdout([&] { log_.FatalLog("no\n"); }));
    EXPECT_FALSE(Exists(longDir));
}

}  // namespace
