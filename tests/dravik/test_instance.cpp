// The single-instance guard across real processes.
#include <signal.h>

#include <gtest/gtest.h>

#include "testutil.h"
#include "tools.h"

using testutil::ReadAll;

namespace {

std::string PidFileText(pid_t pid) { return std::to_string(pid) + std::string(1, '\0'); }

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
    int holderResult = 99;
    ASSERT_EQ(read(ready[0], &holderResult, sizeof holderResult), static_cast<ssize_t>(sizeof holderResult));
    close(ready[0]);
    close(ready[1]);
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

TEST(IsRunning, MissingDirectoryCannotBeOpened) {
    testutil::TempDir dir;
    EXPECT_EQ(IsRunning(dir.file("nodir/guard.pid").c_str()), 1);
    EXPECT_FALSE(testutil::Exists(dir.file("nodir")));
}

}  // namespace
