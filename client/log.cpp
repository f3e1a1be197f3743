// The service's log: every call appends one line to the day's file through a fresh
// CLogFile, so it holds no lock and no open file between calls.
#include "log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "LogClock.h"
#include "LogFile.h"

void LOG(const char* szLog) {
    time_t t = LogClockNow();
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&t, &local);

    char fileName[100];
    snprintf(fileName, sizeof fileName, "main-%04d-%02d-%02d.log", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday);
    CLogFile log;
    std::string info = std::string(szLog ? szLog : "") + "\n";
    log.LogFile(fileName, "%s", info.c_str());
}
