// The single-instance guard across real processes.
#include <fcntl.h>
#include <signal.h>

#include <gtest/gtest.h>

#include "testutil.h"
#include "dravik/tools.h"

using testutil::ReadAll;

namespace {

std::string PidFileText(pid_t pid) {
    return std::to_string(pid) + std::string(1, '\0');
}

TEST(IsRunning, SecondProcessIsRefusedUntilTheHolderDies) {
    testutil::TempDir dir;
    const std::string file = dir.file("guard.pid");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int rc = IsRunning(file.c_str());
        if (write(ready[1], &rc, sizeof rc) != sizeof rc) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);  // so a holder that died early gives end of file, not a hang
    int holderResult = 99;
    const ssize_t got = read(ready[0], &holderResult, sizeof holderResult);
    close(ready[0]);
    if (got != static_cast<ssize_t>(sizeof holderResult)) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        FAIL() << "the holder reported no result";
    }
    EXPECT_EQ(holderResult, 0);
    EXPECT_EQ(ReadAll(file), PidFileText(holder));

    EXPECT_EQ(IsRunning(file.c_str()), -1);
    EXPECT_EQ(ReadAll(file), PidFileText(holder));  // the running instance's file is untouched

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    // A longer id from some earlier run must leave no digits behind.
    ASSERT_TRUE(testutil::WriteAll(file, PidFileText(2147483)));
    EXPECT_EQ(IsRunning(file.c_str()), 0);
    EXPECT_EQ(ReadAll(file), PidFileText(getpid()));
}

// Regression: a failed truncate used to skip writing the id. A FIFO takes the lock and the
// write but refuses the truncate.
TEST(IsRunning, WritesIdEvenWhenTruncateFails) {
    testutil::TempDir dir;
    const std::string fifo = dir.file("guard.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(IsRunning(fifo.c_str()), 0);
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    char buf[32];
    const ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), PidFileText(getpid()));
}

TEST(IsRunning, MissingDirectoryCannotBeOpened) {
    testutil::TempDir dir;
    EXPECT_EQ(IsRunning(dir.file("nodir/guard.pid").c_str()), 1);
    EXPECT_FALSE(testutil::Exists(dir.file("nodir")));
}

}  // namespace
