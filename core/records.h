// Running a request's call records: framing already checked, chaining on "10000:", and the
// direct call of one record.
#ifndef TOLVANE_CORE_RECORDS_H
#define TOLVANE_CORE_RECORDS_H

#include <chrono>
#include <functional>
#include <string>

#include "core/settings.h"
#include "defines.h"

// One record's run, as a watcher learns it.
struct RecordRun {
    std::string comtype;  // as the record named them (empty: its parameters did not parse)
    std::string nfunc;
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    bool went_on = false;  // its output began with "10000:"
    std::string output;    // the output it left (the failure text when it did not go on)
};

// What a request's run may be watched by: `go_on`, asked before each record after the first
// (false stops the chain, the output so far being answered as for a failed record), and
// `ran`, told each record's run. Either may be empty.
struct RecordWatch {
    std::function<bool()> go_on;
    std::function<void(const RecordRun&)> ran;
};

// Runs the call records of the request body pData, whose length matches its count, under the
// settings `s`, while each output begins with "10000:"; strOut is left as the reply would carry
// it. Sends nothing (tolvane-call --local runs requests this way).
void RunRecords(const Settings& s, const char* pData, int msgCount, std::string& strOut,
                const RecordWatch& watch = RecordWatch());
// Runs one call record under the default settings (parameters logged, plug-in not cached);
// the outcome is only the text left in strOut.
void CallFun(MSG_SEND msg, std::string& strOut);

#endif
