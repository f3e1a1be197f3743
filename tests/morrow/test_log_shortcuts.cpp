// The library's shortcuts and a default CLogFile, in the scratch home's log directory.
#include "morrow/log.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <map>
#include <string>

#include "morrow/LogFile.h"
#include "log_test_clock.h"
#include "paths.h"
#include "testutil.h"

using logtest::Local;
using logtest::PinClock;
using logtest::Stdout;
using testutil::Exists;
using testutil::ReadAll;

namespace {

const char kStamp[] = "[2026-12-06,10:00:00] ";
const char kStart[] = "===================start==================";
const char kEnd[] = "==================end===================";

std::string InLogDir(const std::string& name) {
    return std::string(TOLVANE_LOG_DIR) + "/" + name;
}

// Files of the pinned day; each test starts without them and leaves none behind.
class ShortcutTest : public testing::Test {
protected:
    ShortcutTest() : _clock(Local(2026, 12, 6, 10, 0, 0)) { Clean(); }
    ~ShortcutTest() override { Clean(); }
    static void Clean() {
        for (const char* name : {"sc-2026-12-06.log", "sc-2026-12-07.log", "sc.log", "named.txt",
                                 "default.txt", "0/2026_12_6_10.txt"})
            remove(InLogDir(name).c_str());
    }
    static std::string Dated() { return InLogDir("sc-2026-12-06.log"); }

    PinClock _clock;
    std::map<std::string, std::string> _param{{"b", "2"}, {"a", "1"}};
};

TEST_F(ShortcutTest, DatedAndUndatedNames) {
    LOG("sc", "dated", true);
    LOG("sc", "plain", false);
    EXPECT_EQ(std::string(kStamp) + "dated\n", ReadAll(Dated()));
    EXPECT_EQ(std::string(kStamp) + "plain\n", ReadAll(InLogDir("sc.log")));
}

TEST_F(ShortcutTest, TextIsWrittenLiterally) {
    LOG("sc", "100% %s %d %n", true);
    LOG("sc", "two\nlines\n", true);
    EXPECT_EQ(std::string(kStamp) + "100% %s %d %n\n" + kStamp + "two\nlines\n\n",
              ReadAll(Dated()));
}

TEST_F(ShortcutTest, FramedRequestByteForByte) {
    LOGSTART("sc", _param);
    LOG("sc", _param, "mid %s");
    LOGEND("sc", _param, "done");
    EXPECT_EQ(std::string(kStamp) + kStart + "\n" + kStamp + "a=1{###}b=2{###}   \n" + kStamp +
                  "a=1{###}b=2{###}   mid %s\n" + kStamp + "done   a=1{###}b=2{###}\n" + kStamp +
                  kEnd + "\n",
              ReadAll(Dated()));
    EXPECT_EQ(2u, _param.size());
}

TEST_F(ShortcutTest, EmptyMapAndEmptyText) {
    std::map<std::string, std::string> none;
    LOGSTART("sc", none);
    LOGEND("sc", _param, "");
    EXPECT_EQ(std::string(kStamp) + kStart + "\n" + kStamp + "   \n" + kStamp +
                  "   a=1{###}b=2{###}\n" + kStamp + kEnd + "\n",
              ReadAll(Dated()));
}

TEST_F(ShortcutTest, StartAndEndAcrossMidnight) {
    {
        PinClock late(Local(2026, 12, 6, 23, 59, 59));
        LOGSTART("sc", _param);
    }
    {
        PinClock next(Local(2026, 12, 7, 0, 0, 0));
        LOGEND("sc", _param, "ok");
    }
    EXPECT_EQ(std::string("[2026-12-06,23:59:59] ") + kStart + "\n" +
                  "[2026-12-06,23:59:59] a=1{###}b=2{###}   \n",
              ReadAll(Dated()));
    EXPECT_EQ(std::string("[2026-12-07,00:00:00] ok   a=1{###}b=2{###}\n") +
                  "[2026-12-07,00:00:00] " + kEnd + "\n",
              ReadAll(InLogDir("sc-2026-12-07.log")));
}

// Composed names get 99 characters: 84 for a dated base name, 95 for an undated one.
TEST_F(ShortcutTest, OverlongBaseNamesRefused) {
    std::string dated(84, 'x'), undated(95, 'y');
    LOG(dated.c_str(), "fits", true);
    LOG(undated.c_str(), "fits", false);
    std::string datedFile = InLogDir(dated + "-2026-12-06.log");
    std::string undatedFile = InLogDir(undated + ".log");
    EXPECT_EQ(std::string(kStamp) + "fits\n", ReadAll(datedFile));
    EXPECT_EQ(std::string(kStamp) + "fits\n", ReadAll(undatedFile));
    remove(datedFile.c_str());
    remove(undatedFile.c_str());

    std::string dated85 = dated + "x", undated96 = undated + "y";
    EXPECT_EQ("can not open log file!\n", Stdout([&] { LOG(dated85.c_str(), "no", true); }));
    EXPECT_EQ("can not open log file!\n", Stdout([&] { LOG(undated96.c_str(), "no", false); }));
    EXPECT_FALSE(Exists(InLogDir(dated85 + "-2026-12-06.log")));
    EXPECT_FALSE(Exists(InLogDir(undated96 + ".log")));
}

TEST_F(ShortcutTest, DefaultLogFileWritesInTheDefaultDirectoryAndTableZero) {
    CLogFile log;
    log.LogFile("named.txt", "n\n");
    log.LogFile(nullptr, "d\n");
    log.SetLogFlag(2);
    log.Log("t\n");
    EXPECT_EQ(std::string(kStamp) + "n\n", ReadAll(InLogDir("named.txt")));
    EXPECT_EQ(std::string(kStamp) + "d\n", ReadAll(InLogDir("default.txt")));
    EXPECT_EQ(std::string(kStamp) + "t\n", ReadAll(InLogDir("0/2026_12_6_10.txt")));
}

}  // namespace
