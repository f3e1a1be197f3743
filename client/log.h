// The service's log: one line per call in the day's "main-YYYY-MM-DD.log".
#ifndef TOLVANE_CLIENT_LOG_H
#define TOLVANE_CLIENT_LOG_H

// Safe from any thread; the text is written literally; never fails towards the caller.
void LOG(const char* szLog);

#endif
