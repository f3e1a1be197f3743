// The service's LOG: the day's "main-YYYY-MM-DD.log" in the scratch home's log directory,
// written from many threads at once without a torn line; each case runs with the file opened
// per entry and kept open (log_file=kept_open).
#include <gtest/gtest.h>
#include <stdio.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Both the service and libmorrow have a "log.h"; this test is about the service's.
#include "core/log.h"
#include "../morrow/log_test_clock.h"
#include "paths.h"
#include "testutil.h"

using logtest::Local;
using logtest::PinClock;
using testutil::ReadAll;

namespace {

std::string DayFile(const char* date) {
    return std::string(TOLVANE_LOG_DIR) + "/main-" + date + ".log";
}

class ServiceLogTest : public testing::TestWithParam<bool> {
protected:
    ServiceLogTest() {
        Clean();
        SetLogKeptOpen(GetParam());
    }
    ~ServiceLogTest() override {
        SetLogKeptOpen(false);
        Clean();
    }
    static void Clean() {
        for (const char* date : {"2031-03-04", "2031-03-05"}) remove(DayFile(date).c_str());
    }
};

TEST_P(ServiceLogTest, OneLineInTheDaysFile) {
    PinClock clock(Local(2031, 3, 4, 9, 5, 7));
    LOG("started");
    LOG("");
    LOG(nullptr);  // a null text is logged as an empty line, not a crash
    LOG("50% %s %d %n");
    EXPECT_EQ(
        "[2031-03-04,09:05:07] started\n"
        "[2031-03-04,09:05:07] \n"
        "[2031-03-04,09:05:07] \n"
        "[2031-03-04,09:05:07] 50% %s %d %n\n",
        ReadAll(DayFile("2031-03-04")));
}

TEST_P(ServiceLogTest, MidnightStartsTheNextDaysFile) {
    {
        PinClock late(Local(2031, 3, 4, 23, 59, 59));
        LOG("last");
    }
    {
        PinClock next(Local(2031, 3, 5, 0, 0, 0));
        LOG("first");
    }
    EXPECT_EQ("[2031-03-04,23:59:59] last\n", ReadAll(DayFile("2031-03-04")));
    EXPECT_EQ("[2031-03-05,00:00:00] first\n", ReadAll(DayFile("2031-03-05")));
}

// Ten writers at once, as the main thread and the workers do; some lines are longer than
// a stdio buffer. Every line must arrive exactly once and whole.
TEST_P(ServiceLogTest, ConcurrentWritersNeverTearLines) {
    const int kThreads = 10, kLines = 3000;
    PinClock clock(Local(2031, 3, 4, 12, 0, 0));
    std::vector<std::thread> writers;
    writers.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                size_t pad = (i % 500 == 0) ? 6000 : 100;
                std::string line = "t" + std::to_string(t) + " n" + std::to_string(i) + " " +
                                   std::string(pad, static_cast<char>('a' + t));
                LOG(line.c_str());
            }
        });
    }
    for (auto& w : writers) w.join();

    std::istringstream in(ReadAll(DayFile("2031-03-04")));
    std::set<std::pair<int, int>> seen;
    std::string line;
    int count = 0;
    const std::string stamp = "[2031-03-04,12:00:00] ";
    while (std::getline(in, line)) {
        ++count;
        int t = -1, i = -1;
        ASSERT_EQ(0u, line.compare(0, stamp.size(), stamp)) << "line " << count;
        ASSERT_EQ(2, sscanf(line.c_str() + stamp.size(), "t%d n%d ", &t, &i)) << "line " << count;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        std::string expect = stamp + "t" + std::to_string(t) + " n" + std::to_string(i) + " " +
                             std::string((i % 500 == 0) ? 6000 : 100, static_cast<char>('a' + t));
        ASSERT_EQ(expect, line) << "line " << count;
        EXPECT_TRUE(seen.insert({t, i}).second) << "duplicate t" << t << " n" << i;
    }
    EXPECT_EQ(kThreads * kLines, count);
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

// logrotate moves the day's file away (or an operator removes it): the next entry goes to a
// new file at the day's path, never into the moved one.
TEST_P(ServiceLogTest, MovedOrRemovedFileIsOpenedAnew) {
    PinClock clock(Local(2031, 3, 4, 8, 0, 0));
    const std::string day = DayFile("2031-03-04"), moved = day + ".1";
    LOG("before");
    ASSERT_EQ(rename(day.c_str(), moved.c_str()), 0);
    LOG("after the move");
    ASSERT_EQ(remove(day.c_str()), 0);
    LOG("after the removal");
    EXPECT_EQ("[2031-03-04,08:00:00] before\n", ReadAll(moved));
    EXPECT_EQ("[2031-03-04,08:00:00] after the removal\n", ReadAll(day));
    remove(moved.c_str());
}

INSTANTIATE_TEST_SUITE_P(PerEntryAndKeptOpen, ServiceLogTest, testing::Bool());

}  // namespace
