// Running a request's call records: framing already checked, chaining on "10000:", and the
// direct call of one record.
#ifndef TOLVANE_CORE_RECORDS_H
#define TOLVANE_CORE_RECORDS_H

#include <string>

#include "core/settings.h"
#include "defines.h"

// Runs the call records of the request body pData, whose length matches its count, under the
// settings `s`, while each output begins with "10000:"; strOut is left as the reply would carry
// it. Sends nothing (tolvane-call --local runs requests this way).
void RunRecords(const Settings& s, const char* pData, int msgCount, std::string& strOut);
// Runs one call record under the default settings (parameters logged, plug-in not cached);
// the outcome is only the text left in strOut.
void CallFun(MSG_SEND msg, std::string& strOut);

#endif
