// libmorrow's log-file writer: time-stamped entries appended to hourly, error, fatal and
// named files under one log directory. Every call opens, appends and closes its file.
#ifndef TOLVANE_MORROW_LOGFILE_H
#define TOLVANE_MORROW_LOGFILE_H

#include <stdarg.h>
#include <stdio.h>

// Not thread-safe: meant to be short-lived and private to one thread. Entries of objects
// on different threads reach a shared file whole, each in one append.
class CLogFile {
public:
    CLogFile();
    virtual ~CLogFile();

    void SetLogFlag(int iLogFlag);
    void SetErrLogFlag(int iErrLogFlag);
    void SetTableID(int iTableID);
    // Null, or a directory of more than 255 characters, leaves the path unchanged.
    void SetLogPath(char* pLogPath);
    // Creates "<log directory>/<table>" and every missing directory above it.
    void CreateLogPath();

    // `msg` is a printf-style format; log the caller's own text through "%s".
    void Log(const char* msg, ...) __attribute__((format(printf, 2, 3)));
    void ErrLog(const char* msg, ...) __attribute__((format(printf, 2, 3)));
    // Leaves Log writing to the hourly file only and ErrLog switched on.
    void FatalLog(const char* msg, ...) __attribute__((format(printf, 2, 3)));
    // Null pFileName writes "default.txt"; a subdirectory in the name must already exist.
    void LogFile(const char* pFileName, const char* msg, ...) __attribute__((format(printf, 3, 4)));

private:
    enum _EnLogFlag {
        donotlog = 0,
        printonscreen = 1,
        loginfile = 2,
        loginscreenfile = 3,
    };

    typedef struct _TTime {
        unsigned int ulYear;
        unsigned int ulMonth;
        unsigned int ulDay;
        unsigned int ulHour;
        unsigned int ulMinute;
        unsigned int ulSecond;
    } TTime;

    static void TakeTime(TTime& t);
    FILE* OpenLog(const char* name);
    FILE* OpenTableFile(const char* pattern, const TTime& t);
    static void WriteEntry(FILE* fp, const TTime& t, const char* marker, const char* msg,
                           va_list ap);
    void LogV(const char* msg, va_list ap);
    void ErrLogV(const char* msg, va_list ap);
    void FatalLogV(const char* msg, va_list ap);
    void LogFileV(const char* pFileName, const char* msg, va_list ap);

    int m_iTableID;
    int m_iLogFlag;
    int m_iErrLogFlag;
    char m_szLogPath[256];
};

#endif
