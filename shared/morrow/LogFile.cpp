// CLogFile: one open-append-close per entry, directories created on the first failed open.
// Names that would not fit their 256-byte buffers are refused, never cut or overrun.
#include "morrow/LogFile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "morrow/LogClock.h"
#include "paths.h"

namespace {

const char kHourlyFile[] = "%s/%d/%d_%d_%d_%d.txt";
const char kErrorFile[] = "%s/%d/Err_%d_%d_%d_%d.txt";
const char kFatalFile[] = "%s/%d/Fatal_%d_%d_%d_%d.txt";
const char kCannotOpen[] = "can not open log file!";

// snprintf's result says whether the whole text fitted into `size` bytes.
bool Fits(int n, size_t size) {
    return n >= 0 && static_cast<size_t>(n) < size;
}

// Prefix and message in one piece, so that one entry is one write. Messages that outgrow
// the stack buffer go to the heap; an entry that cannot be formatted is empty.
class Entry {
public:
    Entry(const char* prefix, const char* msg, va_list ap) {
        size_t plen = strlen(prefix);
        memcpy(_stack, prefix, plen);
        va_list copy;
        va_copy(copy, ap);
        int n = vsnprintf(_stack + plen, sizeof _stack - plen, msg, copy);
        va_end(copy);
        if (n < 0) return;
        size_t total = plen + static_cast<size_t>(n);
        if (total < sizeof _stack) {
            _data = _stack;
            _size = total;
            return;
        }
        _heap = static_cast<char*>(malloc(total + 1));
        if (!_heap) return;
        memcpy(_heap, prefix, plen);
        va_copy(copy, ap);
        vsnprintf(_heap + plen, static_cast<size_t>(n) + 1, msg, copy);
        va_end(copy);
        _data = _heap;
        _size = total;
    }
    ~Entry() { free(_heap); }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    void WriteTo(FILE* fp) const {
        if (_size > 0) fwrite(_data, 1, _size, fp);
    }

private:
    char _stack[4096];
    char* _heap = nullptr;
    const char* _data = nullptr;
    size_t _size = 0;
};

}  // namespace

CLogFile::CLogFile() : m_iTableID(0), m_iLogFlag(printonscreen), m_iErrLogFlag(2) {
    memset(m_szLogPath, 0, sizeof m_szLogPath);
    snprintf(m_szLogPath, sizeof m_szLogPath, "%s", TOLVANE_LOG_DIR);
}

CLogFile::~CLogFile() {}

void CLogFile::SetLogFlag(int iLogFlag) {
    m_iLogFlag = iLogFlag;
}

void CLogFile::SetErrLogFlag(int iErrLogFlag) {
    m_iErrLogFlag = iErrLogFlag;
}

void CLogFile::SetTableID(int iTableID) {
    m_iTableID = iTableID;
}

void CLogFile::SetLogPath(char* pLogPath) {
    if (!pLogPath || strlen(pLogPath) >= sizeof m_szLogPath) {
        puts("SetLogPath Failed!");
        return;
    }
    snprintf(m_szLogPath, sizeof m_szLogPath, "%s", pLogPath);
}

void CLogFile::CreateLogPath() {
    char target[sizeof m_szLogPath];
    if (m_szLogPath[0] == '\0' ||
        !Fits(snprintf(target, sizeof target, "%s/%d", m_szLogPath, m_iTableID), sizeof target)) {
        puts("CreateLogPath Error!");
        return;
    }
    // Every prefix up to and including a "/", then the whole target; failures (mostly
    // "exists") are expected and ignored.
    for (size_t i = 0; target[i] != '\0'; ++i) {
        if (target[i] != '/') continue;
        char next = target[i + 1];
        target[i + 1] = '\0';
        if (strcmp(target, "./") != 0 && strcmp(target, "../") != 0) mkdir(target, 0777);
        target[i + 1] = next;
    }
    mkdir(target, 0777);
}

void CLogFile::TakeTime(TTime& t) {
    time_t now = LogClockNow();
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    t.ulYear = static_cast<unsigned int>(local.tm_year + 1900);
    t.ulMonth = static_cast<unsigned int>(local.tm_mon + 1);
    t.ulDay = static_cast<unsigned int>(local.tm_mday);
    t.ulHour = static_cast<unsigned int>(local.tm_hour);
    t.ulMinute = static_cast<unsigned int>(local.tm_min);
    t.ulSecond = static_cast<unsigned int>(local.tm_sec);
}

FILE* CLogFile::OpenLog(const char* name) {
    FILE* fp = fopen(name, "a+");
    if (!fp) {
        CreateLogPath();
        fp = fopen(name, "a+");
    }
    // Unbuffered, so the entry's single fwrite is a single append however long it is:
    // writers on other threads or processes cannot land inside it.
    if (fp) setvbuf(fp, nullptr, _IONBF, 0);
    return fp;
}

FILE* CLogFile::OpenTableFile(const char* pattern, const TTime& t) {
    char name[sizeof m_szLogPath];
    int n = snprintf(name, sizeof name, pattern, m_szLogPath, m_iTableID,
                     static_cast<int>(t.ulYear), static_cast<int>(t.ulMonth),
                     static_cast<int>(t.ulDay), static_cast<int>(t.ulHour));
    return Fits(n, sizeof name) ? OpenLog(name) : nullptr;
}

void CLogFile::WriteEntry(FILE* fp, const TTime& t, const char* marker, const char* msg,
                          va_list ap) {
    char prefix[96];
    snprintf(prefix, sizeof prefix, "[%.4u-%.2u-%.2u,%.2u:%.2u:%.2u] %s", t.ulYear, t.ulMonth,
             t.ulDay, t.ulHour, t.ulMinute, t.ulSecond, marker);
    Entry(prefix, msg, ap).WriteTo(fp);
}

void CLogFile::Log(const char* msg, ...) {
    va_list ap;
    va_start(ap, msg);
    LogV(msg, ap);
    va_end(ap);
}

void CLogFile::ErrLog(const char* msg, ...) {
    va_list ap;
    va_start(ap, msg);
    ErrLogV(msg, ap);
    va_end(ap);
}

void CLogFile::FatalLog(const char* msg, ...) {
    va_list ap;
    va_start(ap, msg);
    FatalLogV(msg, ap);
    va_end(ap);
}

void CLogFile::LogFile(const char* pFileName, const char* msg, ...) {
    va_list ap;
    va_start(ap, msg);
    LogFileV(pFileName, msg, ap);
    va_end(ap);
}

void CLogFile::LogV(const char* msg, va_list ap) {
    if (m_iLogFlag != printonscreen && m_iLogFlag != loginfile && m_iLogFlag != loginscreenfile)
        return;
    TTime t;
    TakeTime(t);
    FILE* fp = nullptr;
    if (m_iLogFlag != printonscreen) {
        fp = OpenTableFile(kHourlyFile, t);
        if (!fp && m_iLogFlag == loginfile) {
            puts(kCannotOpen);
            return;
        }
    }
    if (m_iLogFlag != loginfile) {
        WriteEntry(stdout, t, "", msg, ap);
        fflush(stdout);
    }
    if (fp) {
        WriteEntry(fp, t, "", msg, ap);
        fclose(fp);
    }
}

void CLogFile::ErrLogV(const char* msg, va_list ap) {
    if (m_iErrLogFlag == 0) return;
    TTime t;
    TakeTime(t);
    if (m_iLogFlag == loginfile || m_iLogFlag == loginscreenfile) {
        FILE* fp = OpenTableFile(kHourlyFile, t);
        if (!fp) return;
        WriteEntry(fp, t, "#error# ", msg, ap);
        fclose(fp);
    }
    FILE* fp = OpenTableFile(kErrorFile, t);
    if (!fp) return;
    WriteEntry(fp, t, "", msg, ap);
    fclose(fp);
}

void CLogFile::FatalLogV(const char* msg, va_list ap) {
    TTime t;
    TakeTime(t);
    m_iLogFlag = loginfile;
    m_iErrLogFlag = 2;
    FILE* fp = OpenTableFile(kHourlyFile, t);
    if (!fp) return;
    WriteEntry(fp, t, "#fatal# ", msg, ap);
    fclose(fp);
    fp = OpenTableFile(kFatalFile, t);
    if (!fp) return;
    WriteEntry(fp, t, "", msg, ap);
    fclose(fp);
}

void CLogFile::LogFileV(const char* pFileName, const char* msg, va_list ap) {
    TTime t;
    TakeTime(t);
    char name[sizeof m_szLogPath];
    int n = pFileName ? snprintf(name, sizeof name, "%s/%s", m_szLogPath, pFileName)
                      : snprintf(name, sizeof name, "%s/default.txt", m_szLogPath);
    FILE* fp = Fits(n, sizeof name) ? OpenLog(name) : nullptr;
    if (!fp) {
        puts(kCannotOpen);
        return;
    }
    WriteEntry(fp, t, "", msg, ap);
    fclose(fp);
}
