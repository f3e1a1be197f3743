// libmorrow's shortcuts: one-line entries in daily files of the default log directory,
// with no set-up by the caller. Safe from any thread; texts are written literally.
#ifndef TOLVANE_MORROW_LOG_H
#define TOLVANE_MORROW_LOG_H

#include <map>
#include <string>

// Appends szLog and "\n" to "<fileName>-YYYY-MM-DD.log", or "<fileName>.log" when
// fileNameWithDate is false. A composed name of more than 99 characters loses the entry.
void LOG(const char* fileName, const char* szLog, bool fileNameWithDate);
// One dated entry: "key=value{###}" per pair in key order, three blanks, szLog.
void LOG(const char* fileName, std::map<std::string, std::string>& param, std::string szLog);
// Two dated entries: the start banner, then the pairs followed by three blanks.
void LOGSTART(const char* fileName, std::map<std::string, std::string>& param);
// Two dated entries: szLog, three blanks and the pairs; then the end banner.
void LOGEND(const char* fileName, std::map<std::string, std::string>& param, std::string szLog);

#endif
