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
    LogFileTest() : _clock(Local(2026, 1, 5, 7, 3, 9)) {
        UsePath(_dir.path());
        _log.SetTableID(7);
    }
    void UsePath(std::string path) { _log.SetLogPath(&path[0]); }
    std::string Hourly() const { return _dir.file("7/2026_1_5_7.txt"); }
    std::string ErrFile() const { return _dir.file("7/Err_2026_1_5_7.txt"); }
    std::string FatalFile() const { return _dir.file("7/Fatal_2026_1_5_7.txt"); }

    TempDir _dir;
    PinClock _clock;
    CLogFile _log;
};

TEST_F(LogFileTest, HourlyNameUnpaddedPrefixPadded) {
    _log.SetLogFlag(2);
    EXPECT_EQ("", Stdout([&] { _log.Log("hello %d\n", 42); }));
    EXPECT_EQ(std::string(kStamp) + "hello 42\n", ReadAll(Hourly()));
}

TEST_F(LogFileTest, LastSecondOfDayAndMidnightGoToTwoHourlyFiles) {
    _log.SetLogFlag(2);
    {
        PinClock late(Local(2026, 12, 31, 23, 59, 59));
        _log.Log("late\n");
    }
    {
        PinClock early(Local(2027, 1, 1, 0, 0, 0));
        _log.Log("early\n");
    }
    EXPECT_EQ("[2026-12-31,23:59:59] late\n", ReadAll(_dir.file("7/2026_12_31_23.txt")));
    EXPECT_EQ("[2027-01-01,00:00:00] early\n", ReadAll(_dir.file("7/2027_1_1_0.txt")));
}

TEST_F(LogFileTest, ScreenFlagsWriteTheSameEntry) {
    _log.SetLogFlag(1);
    EXPECT_EQ(std::string(kStamp) + "one\n", Stdout([&] { _log.Log("one\n"); }));
    EXPECT_FALSE(Exists(_dir.file("7")));
    _log.SetLogFlag(3);
    EXPECT_EQ(std::string(kStamp) + "both\n", Stdout([&] { _log.Log("both\n"); }));
    EXPECT_EQ(std::string(kStamp) + "both\n", ReadAll(Hourly()));
}

TEST_F(LogFileTest, FlagsOutsideOneToThreeWriteAndCreateNothing) {
    UsePath(_dir.file("missing"));
    for (int flag : {0, 4, -1}) {
        _log.SetLogFlag(flag);
        EXPECT_EQ("", Stdout([&] { _log.Log("nothing\n"); })) << flag;
        EXPECT_FALSE(Exists(_dir.file("missing"))) << flag;
    }
}

TEST_F(LogFileTest, UnopenableHourlyFile) {
    // A regular file where a directory should be: neither open nor mkdir can succeed.
    ASSERT_TRUE(testutil::WriteAll(_dir.file("plain"), "x"));
    UsePath(_dir.file("plain"));
    _log.SetLogFlag(2);
    EXPECT_EQ("can not open log file!\n", Stdout([&] { _log.Log("lost\n"); }));
    _log.SetLogFlag(3);
    EXPECT_EQ(std::string(kStamp) + "screen\n", Stdout([&] { _log.Log("screen\n"); }));
    EXPECT_EQ("", Stdout([&] { _log.ErrLog("quiet\n"); }));
}

TEST_F(LogFileTest, DefaultFlagsErrLogWritesErrorFileOnly) {
    EXPECT_EQ("", Stdout([&] { _log.ErrLog("bad %s\n", "thing"); }));
    EXPECT_EQ(std::string(kStamp) + "bad thing\n", ReadAll(ErrFile()));
    EXPECT_FALSE(Exists(Hourly()));
}

TEST_F(LogFileTest, ErrLogCopiesCarryOneStamp) {
    PinClock ticking(Local(2026, 1, 5, 7, 3, 9), 1);
    _log.SetLogFlag(2);
    EXPECT_EQ("", Stdout([&] { _log.ErrLog("code %d\n", 7); }));
    EXPECT_EQ(std::string(kStamp) + "#error# code 7\n", ReadAll(Hourly()));
    EXPECT_EQ(std::string(kStamp) + "code 7\n", ReadAll(ErrFile()));
}

TEST_F(LogFileTest, FatalLogWritesBothCopiesAndSwitchesLogToFile) {
    _log.SetLogFlag(3);
    _log.SetErrLogFlag(0);
    EXPECT_EQ("", Stdout([&] { _log.FatalLog("boom %d\n", 1); }));
    EXPECT_EQ(std::string(kStamp) + "boom 1\n", ReadAll(FatalFile()));

    EXPECT_EQ("", Stdout([&] { _log.Log("after\n"); }));
    _log.ErrLog("err\n");
    EXPECT_EQ(
        std::string(kStamp) + "#fatal# boom 1\n" + kStamp + "after\n" + kStamp + "#error# err\n",
        ReadAll(Hourly()));
    EXPECT_EQ(std::string(kStamp) + "err\n", ReadAll(ErrFile()));
}

TEST_F(LogFileTest, FatalLogTicksClockOnce) {
    PinClock ticking(Local(2026, 1, 5, 7, 3, 9), 1);
    _log.FatalLog("f\n");
    EXPECT_EQ(std::string(kStamp) + "#fatal# f\n", ReadAll(Hourly()));
    EXPECT_EQ(std::string(kStamp) + "f\n", ReadAll(FatalFile()));
}

TEST_F(LogFileTest, LogFileNamedDefaultAndRunOn) {
    _log.SetLogFlag(0);
    _log.SetErrLogFlag(0);
    _log.LogFile("named.txt", "one %s", "two");
    _log.LogFile("named.txt", "three\n");
    _log.LogFile(nullptr, "dflt\n");
    EXPECT_EQ(std::string(kStamp) + "one two" + kStamp + "three\n",
              ReadAll(_dir.file("named.txt")));
    EXPECT_EQ(std::string(kStamp) + "dflt\n", ReadAll(_dir.file("default.txt")));
}

TEST_F(LogFileTest, LogFileMissingSubdirectoryIsNotCreated) {
    EXPECT_EQ("can not open log file!\n", Stdout([&] { _log.LogFile("nosub/f.txt", "x\n"); }));
    EXPECT_TRUE(Exists(_dir.file("7")));  // the walk ran, but stops at the table directory
    EXPECT_FALSE(Exists(_dir.file("nosub")));
}

TEST_F(LogFileTest, WalkCreatesChainFromNothing) {
    UsePath(_dir.file("a/b/c"));
    _log.SetLogFlag(2);
    _log.Log("deep\n");
    EXPECT_EQ(std::string(kStamp) + "deep\n", ReadAll(_dir.file("a/b/c/7/2026_1_5_7.txt")));
}

TEST_F(LogFileTest, WalkOfRelativePaths) {
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, mkdir(_dir.file("work").c_str(), 0777));
    ASSERT_EQ(0, chdir(_dir.file("work").c_str()));
    _log.SetLogFlag(2);
    UsePath("./here/x");
    _log.Log("dot\n");
    UsePath("../up/y");
    _log.Log("dotdot\n");
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_EQ(std::string(kStamp) + "dot\n", ReadAll(_dir.file("work/here/x/7/2026_1_5_7.txt")));
    EXPECT_EQ(std::string(kStamp) + "dotdot\n", ReadAll(_dir.file("up/y/7/2026_1_5_7.txt")));
}

TEST_F(LogFileTest, CreateLogPathWithEmptyPath) {
    UsePath("");
    EXPECT_EQ("CreateLogPath Error!\n", Stdout([&] { _log.CreateLogPath(); }));
}

TEST_F(LogFileTest, SetLogPathRefusesNullAndOverlongKeepingThePath) {
    EXPECT_EQ("SetLogPath Failed!\n", Stdout([&] { _log.SetLogPath(nullptr); }));
    std::string longPath = _dir.path() + "/" + std::string(300, 'p');
    EXPECT_EQ("SetLogPath Failed!\n", Stdout([&] { UsePath(longPath); }));
    _log.LogFile("kept.txt", "k\n");
    EXPECT_TRUE(Exists(_dir.file("kept.txt")));
}

// A composed name must fit 255 characters: the longest one is written, one more is refused.
TEST_F(LogFileTest, OverlongFileNameRefusedWithoutOverflow) {
    std::string sub = _dir.file(std::string(120, 'd'));
    ASSERT_EQ(0, mkdir(sub.c_str(), 0777));
    UsePath(sub);
    std::string fits(255 - sub.size() - 1, 'f');
    _log.LogFile(fits.c_str(), "ok\n");
    EXPECT_EQ(std::string(kStamp) + "ok\n", ReadAll(sub + "/" + fits));
    std::string over = fits + "g";
    EXPECT_EQ("can not open log file!\n", Stdout([&] { _log.LogFile(over.c_str(), "no\n"); }));
    EXPECT_FALSE(Exists(sub + "/7"));  // refused before any walk
}

TEST_F(LogFileTest, OverlongDirectoryWalkRefused) {
    // 254 characters: the directory fits, "<dir>/7" and the hourly names do not.
    std::string longDir = _dir.path() + "/" + std::string(254 - _dir.path().size() - 1, 'q');
    ASSERT_EQ(254u, longDir.size());
    UsePath(longDir);
    EXPECT_EQ("CreateLogPath Error!\n", Stdout([&] { _log.CreateLogPath(); }));
    _log.SetLogFlag(2);
    EXPECT_EQ("can not open log file!\n", Stdout([&] { _log.Log("no\n"); }));
    EXPECT_EQ("", Stdout([&] { _log.FatalLog("no\n"); }));
    EXPECT_FALSE(Exists(longDir));
}

}  // namespace
