// ReadFile and WriteFile against real files: line rules, backups watched through inotify,
// hostile names, a real write failure under a file-size limit, and refused opens.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "testutil.h"
#include "dravik/tools.h"
#include "unprivileged.h"

using testutil::ReadAll;
using testutil::WriteAll;
using Lines = std::vector<std::string>;

namespace {

// Files created, deleted and moved away in one folder, as the kernel reported them.
class DirEvents {
public:
    explicit DirEvents(const std::string& dir) : _fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(_fd, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM);
    }
    ~DirEvents() { close(_fd); }
    DirEvents(const DirEvents&) = delete;
    DirEvents& operator=(const DirEvents&) = delete;

    // Stamps of the backups "<base>-<digits>" that had an event of `mask`, in order.
    std::vector<std::string> BackupStamps(const std::string& base, uint32_t mask) {
        Drain();
        std::vector<std::string> stamps;
        const std::string prefix = base + "-";
        for (const auto& e : _events) {
            if (!(e.first & mask) || e.second.compare(0, prefix.size(), prefix) != 0) continue;
            std::string stamp = e.second.substr(prefix.size());
            if (!stamp.empty() && stamp.find_first_not_of("0123456789") == std::string::npos)
                stamps.push_back(stamp);
        }
        return stamps;
    }

private:
    void Drain() {
        alignas(struct inotify_event) char buf[65536];
        ssize_t n;
        while ((n = read(_fd, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<struct inotify_event*>(p);
                _events.emplace_back(ev->mask, ev->len ? ev->name : "");
                p += sizeof(struct inotify_event) + ev->len;
            }
        }
    }

    int _fd;
    std::vector<std::pair<uint32_t, std::string>> _events;
};

std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const struct dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

class LineFile : public ::testing::Test {
protected:
    testutil::TempDir _dir;
};

TEST_F(LineFile, ReadDropsEmptyLinesKeepsCarriageReturnAndAppends) {
    const std::string f = _dir.file("conf");
    ASSERT_TRUE(WriteAll(f, "a=1\n\nb=2\r\n  \nlast"));
    Lines v{"held\n"};
    ASSERT_TRUE(ReadFile(&v, f.c_str()));
    EXPECT_EQ(v, (Lines{"held\n", "a=1\n", "b=2\r\n", "  \n", "last\n"}));
}

TEST_F(LineFile, ReadRefusesMissingFileAndDirectory) {
    Lines v{"held\n"};
    EXPECT_FALSE(ReadFile(&v, _dir.file("missing").c_str()));
    EXPECT_FALSE(ReadFile(&v, _dir.path().c_str()));
    EXPECT_EQ(v, Lines{"held\n"});
}

TEST_F(LineFile, ReadRefusesFileItMayNotWrite) {
    const std::string f = _dir.file("conf");
    ASSERT_TRUE(WriteAll(f, "a=1\n"));
    ASSERT_EQ(chmod(f.c_str(), 0444), 0);
    ASSERT_EQ(chmod(_dir.path().c_str(), 0755), 0);
    int rc = testutil::RunUnprivileged([&] {
        Lines v{"held\n"};
        if (access(f.c_str(), R_OK) != 0) return testutil::kCannotDrop;
        return (!ReadFile(&v, f.c_str()) && v == Lines{"held\n"}) ? 0 : 1;
    });
    if (rc == testutil::kCannotDrop) GTEST_SKIP() << "cannot drop root privileges";
    EXPECT_EQ(rc, 0);
}

TEST_F(LineFile, WriteReplacesContentAndRemovesBackup) {
    const std::string f = _dir.file("conf");
    ASSERT_TRUE(WriteAll(f, "old=1\nold=2\n"));
    DirEvents events(_dir.path());
    Lines v{"a=1\n", "\n", "b=2\r\n", "no-newline"};
    ASSERT_TRUE(WriteFile(&v, f.c_str()));
    EXPECT_EQ(ReadAll(f), "a=1\nb=2\r\nno-newline");
    EXPECT_EQ(Listing(_dir.path()), Lines{"conf"});
    const auto made = events.BackupStamps("conf", IN_CREATE);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(events.BackupStamps("conf", IN_DELETE), made);

    Lines back;
    ASSERT_TRUE(ReadFile(&back, f.c_str()));
    EXPECT_EQ(back, (Lines{"a=1\n", "b=2\r\n", "no-newline\n"}));
}

TEST_F(LineFile, WriteCreatesMissingFileButNotMissingDirectory) {
    Lines v{"x=1\n"};
    EXPECT_TRUE(WriteFile(&v, _dir.file("new").c_str()));
    EXPECT_EQ(ReadAll(_dir.file("new")), "x=1\n");
    EXPECT_FALSE(WriteFile(&v, _dir.file("nodir/new").c_str()));
    EXPECT_EQ(Listing(_dir.path()), Lines{"new"});
}

TEST_F(LineFile, ConcurrentWritesHoldOneSecondEachAndGetDistinctStamps) {
    DirEvents events(_dir.path());
    Lines one{"one\n"}, two{"two\n"};
    const std::string f1 = _dir.file("one"), f2 = _dir.file("two");
    ASSERT_TRUE(WriteAll(f1, "old\n") && WriteAll(f2, "old\n"));
    bool ok1 = false, ok2 = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread t1([&] { ok1 = WriteFile(&one, f1.c_str()); });
    std::thread t2([&] { ok2 = WriteFile(&two, f2.c_str()); });
    t1.join();
    t2.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(ok1 && ok2);
    EXPECT_EQ(ReadAll(f1), "one\n");
    EXPECT_EQ(ReadAll(f2), "two\n");
    const auto s1 = events.BackupStamps("one", IN_CREATE),
               s2 = events.BackupStamps("two", IN_CREATE);
    ASSERT_EQ(s1.size(), 1u);
    ASSERT_EQ(s2.size(), 1u);
    EXPECT_NE(s1[0], s2[0]);
    EXPECT_EQ(Listing(_dir.path()).size(), 2u);
}

void IgnoreSignal(int) {}

// Regression: a signal handler used to cut the one-second hold short, so a following call
// could read the same second and share the backup name.
TEST_F(LineFile, SignalDuringHoldStillHoldsAFullSecond) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = IgnoreSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const std::string f = _dir.file("conf");
    Lines v{"x\n"};
    bool ok = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { ok = WriteFile(&v, f.c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pthread_kill(writer.native_handle(), SIGUSR1);
    writer.join();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_GE(took.count(), 1000);
    EXPECT_EQ(ReadAll(f), "x\n");
}

// Regression: the name used to reach a shell unquoted, and a fixed buffer cut long commands.
TEST_F(LineFile, HostileNameRunsNothingAndIsBackedUp) {
    const std::string name = "a b; touch pwned1; $(touch pwned2) `touch pwned3` | touch pwned4 &";
    const std::string f = _dir.file(name);
    ASSERT_TRUE(WriteAll(f, "old\n"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(_dir.path().c_str()), 0);  // where injected commands would leave their files
    DirEvents events(_dir.path());
    Lines v{"new\n"};
    bool ok = WriteFile(&v, f.c_str());
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_TRUE(ok);
    EXPECT_EQ(ReadAll(f), "new\n");
    EXPECT_EQ(Listing(_dir.path()), Lines{name});
    const auto made = events.BackupStamps(name, IN_CREATE);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(events.BackupStamps(name, IN_DELETE), made);
}

TEST_F(LineFile, LongNameIsWrittenWhole) {
    const std::string name(240, 'n');
    const std::string f = _dir.file(name);
    ASSERT_TRUE(WriteAll(f, "old\n"));
    Lines v{"new\n"};
    EXPECT_TRUE(WriteFile(&v, f.c_str()));
    EXPECT_EQ(ReadAll(f), "new\n");
    EXPECT_EQ(Listing(_dir.path()), Lines{name});
}

// Runs WriteFile in a child limited to `limit` bytes per file; 0 when it returned false.
int WriteUnderSizeLimit(const std::string& file, const std::string& text, rlim_t limit) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);  // so the write fails with EFBIG instead of killing us
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = limit;
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(2);
        Lines v{text};
        _exit(WriteFile(&v, file.c_str()) ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Regression: a failed write used to be reported as success over a truncated file.
TEST_F(LineFile, WriteFailureRestoresOriginalAndReturnsFalse) {
    const std::string name = "conf $(touch pwned); x";
    const std::string f = _dir.file(name);
    ASSERT_TRUE(WriteAll(f, "old=1\n"));
    DirEvents events(_dir.path());
    EXPECT_EQ(WriteUnderSizeLimit(f, std::string(4096, 'x') + "\n", 64), 0);
    EXPECT_EQ(ReadAll(f), "old=1\n");
    EXPECT_EQ(Listing(_dir.path()), Lines{name});
    const auto made = events.BackupStamps(name, IN_CREATE);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(events.BackupStamps(name, IN_MOVED_FROM), made);
}

// Regression: a failed backup used to go unheeded, so the write failing after it left the
// original cut short with nothing to restore it from.
TEST_F(LineFile, FailedBackupLeavesOriginalUntouched) {
    const std::string f = _dir.file("conf");
    const std::string old = std::string(4096, 'o') + "\n";  // too big to copy under the limit
    ASSERT_TRUE(WriteAll(f, old));
    EXPECT_EQ(WriteUnderSizeLimit(f, std::string(4096, 'x') + "\n", 64), 0);
    EXPECT_EQ(ReadAll(f), old);
    EXPECT_EQ(Listing(_dir.path()), Lines{"conf"});
}

TEST_F(LineFile, WriteFailureOnNewFileLeavesNothing) {
    EXPECT_EQ(WriteUnderSizeLimit(_dir.file("new"), std::string(4096, 'x') + "\n", 64), 0);
    EXPECT_TRUE(Listing(_dir.path()).empty());
}

TEST_F(LineFile, RefusedOpenPutsBackupBack) {
    const std::string f = _dir.file("conf");
    ASSERT_TRUE(WriteAll(f, "old=1\n"));
    ASSERT_EQ(chmod(f.c_str(), 0444), 0);
    ASSERT_EQ(chmod(_dir.path().c_str(), 0777), 0);  // the backup may be made beside it
    int rc = testutil::RunUnprivileged([&] {
        if (access(f.c_str(), R_OK) != 0) return testutil::kCannotDrop;
        Lines v{"new\n"};
        return WriteFile(&v, f.c_str()) ? 1 : 0;
    });
    if (rc == testutil::kCannotDrop) GTEST_SKIP() << "cannot drop root privileges";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadAll(f), "old=1\n");
    EXPECT_EQ(Listing(_dir.path()), Lines{"conf"});
}

}  // namespace
