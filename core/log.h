// The service's log: one line per call in the day's "main-YYYY-MM-DD.log".
#ifndef TOLVANE_CORE_LOG_H
#define TOLVANE_CORE_LOG_H

#include <string>

// Safe from any thread; the text is written literally; never fails towards the caller.
void LOG(const char* szLog);

// When on, LOG also writes its "[stamp] text" line to stderr, whole, in one write (for a
// daemon kept in the foreground, whose stderr a supervisor's journal collects). Off at start.
void SetLogEcho(bool on);

// When off, LOG writes no file (a local run of tolvane-call must not write the daemon's log,
// nor create its day's file under another user); on at start.
void SetLogFile(bool on);

// log_file=kept_open (true): the day's file stays open between entries, each entry is one
// write to it, and it is opened anew at the date change or when it was moved or removed.
// Off at start (each entry opens, appends and closes the file).
void SetLogKeptOpen(bool on);

// `text` with its control characters written as visible escapes ("\n", "\r", "\t", "\xNN"),
// for texts from outside that must stay on one log line.
std::string VisibleControls(const char* text);

#endif
