// The library's daily-file shortcuts, each entry through a fresh default CLogFile.
#include "morrow/log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "morrow/LogClock.h"
#include "morrow/LogFile.h"

namespace {

const char kStartBanner[] = "===================start==================";
const char kEndBanner[] = "==================end===================";
const char kGap[] = "   ";

// Pairs in key order, nothing escaped.
std::string MapLine(const std::map<std::string, std::string>& param) {
    std::string line;
    for (const auto& kv : param) line += kv.first + "=" + kv.second + "{###}";
    return line;
}

}  // namespace

void LOG(const char* fileName, const char* szLog, bool fileNameWithDate) {
    time_t now = LogClockNow();
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&now, &local);

    char name[100];
    int n = fileNameWithDate ? snprintf(name, sizeof name, "%s-%04d-%02d-%02d.log", fileName,
                                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday)
                             : snprintf(name, sizeof name, "%s.log", fileName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
        puts("can not open log file!");
        return;
    }
    CLogFile log;
    std::string info = std::string(szLog ? szLog : "") + "\n";
    log.LogFile(name, "%s", info.c_str());
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
void LOG(const char* fileName, std::map<std::string, std::string>& param, std::string szLog) {
    LOG(fileName, (MapLine(param) + kGap + szLog).c_str(), true);
}

void LOGSTART(const char* fileName, std::map<std::string, std::string>& param) {
    LOG(fileName, kStartBanner, true);
    LOG(fileName, param, "");
}

void LOGEND(const char* fileName, std::map<std::string, std::string>& param, std::string szLog) {
    szLog += kGap + MapLine(param);
    LOG(fileName, szLog.c_str(), true);
    LOG(fileName, kEndBanner, true);
}
