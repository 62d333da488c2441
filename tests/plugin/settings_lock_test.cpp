// The lock on the plug-in's shared settings file: a run as any user can take it, however
// the run that created it had its mask set, and holding it keeps every other run out.

#include "../settings_lock.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

// Runs the step in a child process and gives its exit status (-1 when it did not exit).
int inChild(const std::function<int()>& step)
{
    pid_t child = fork();
    if (child == 0)
        _exit(step());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class SettingsLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/dorvish-lock-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        scratch = dir;
        // Like /tmp itself: every user may create files, nobody may remove another's.
        ASSERT_EQ(0, chmod(dir, 01777));
        file = scratch + "/settings.lock";
    }
    void TearDown() override
    {
        unlink(file.c_str());
        rmdir(scratch.c_str());
    }

    std::string scratch;
    std::string file;
};

TEST_F(SettingsLock, AnotherUserTakesALockMadeUnderATightMask)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another user needs root";
    EXPECT_EQ(0, inChild([&] {
        umask(077);
        settingsLock lock(file);
        return lock.held() ? 0 : 1;
    }));
    struct stat info {};
    ASSERT_EQ(0, stat(file.c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 07777);

    EXPECT_EQ(0, inChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 2;
        settingsLock lock(file);
        return lock.held() ? 0 : 1;
    })) << "a run as nobody could not take root's lock";
}

TEST_F(SettingsLock, HoldingItKeepsOtherRunsOut)
{
    settingsLock lock(file);
    ASSERT_TRUE(lock.held());
    EXPECT_EQ(0, inChild([&] {
        int other = open(file.c_str(), O_RDONLY);
        if (other < 0)
            return 2;
        return flock(other, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1;
    }));
}

}  // namespace
