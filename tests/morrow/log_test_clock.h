// Pins libmorrow's clock to a chosen local moment for one scope, and captures stdout.
#ifndef TOLVANE_TEST_LOG_TEST_CLOCK_H
#define TOLVANE_TEST_LOG_TEST_CLOCK_H

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <string>

#include "morrow/LogClock.h"

namespace logtest {

inline time_t Local(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

inline std::atomic<time_t>& Now() {
    static std::atomic<time_t> now{0};
    return now;
}

inline std::atomic<int>& Step() {
    static std::atomic<int> step{0};
    return step;
}

// Every read moves the clock on by Step() seconds, so a writer that reads it twice shows.
inline time_t Read() {
    return Now().fetch_add(Step());
}

class PinClock {
public:
    explicit PinClock(time_t moment, int step = 0) {
        Now() = moment;
        Step() = step;
        SetLogClock(&Read);
    }
    ~PinClock() { SetLogClock(nullptr); }
    PinClock(const PinClock&) = delete;
    PinClock& operator=(const PinClock&) = delete;
};

template <class F>
std::string Stdout(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

}  // namespace logtest

#endif
