// Daemon set-up helpers and the SIGTERM handler, called directly.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "appdaemon.h"

namespace {

TEST(AppDaemon, BaseName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/sbin/dorvish", "dorvish"}, {"./bin/dorvish", "dorvish"}, {"dorvish", "dorvish"}, {"dir/", ""}, {"", ""}};
    for (const auto& c : cases)
        EXPECT_STREQ(c.second, baseName(c.first)) << c.first;
}

TEST(AppDaemon, PidPathFitsOrIsRefused)
{
    char path[128];
    ASSERT_TRUE(pidPath("dorvish", path, sizeof path));
    EXPECT_STREQ("/tmp/dorvish.pid", path);
    const std::string longest(MAX_BIN_NAME, 'n');
    ASSERT_TRUE(pidPath(longest.c_str(), path, sizeof path));
    EXPECT_EQ("/tmp/" + longest + ".pid", std::string(path));
    EXPECT_EQ(127u, strlen(path));
    EXPECT_FALSE(pidPath((longest + "n").c_str(), path, sizeof path));
    EXPECT_FALSE(pidPath(nullptr, path, sizeof path));
}

TEST(AppDaemon, MaskIsNeverLooserThan027)
{
    const std::pair<mode_t, mode_t> cases[] = {{0, 027}, {022, 027}, {002, 027}, {070, 077}, {077, 077}, {0777, 0777}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, daemonMask(c.first)) << std::oct << c.first;
}

TEST(AppDaemon, EarlyStopIsKept)
{
    // A SIGTERM after the handler is installed but before the loop is armed.
    uStopRequested = 0;
    uContinue = 0;
    handler(SIGTERM);
    armRunning();
    EXPECT_EQ(0, uContinue);

    uStopRequested = 0;
    armRunning();
    EXPECT_EQ(1, uContinue);
    handler(SIGTERM);
    handler(SIGTERM); // a second one only clears the flag again
    EXPECT_EQ(0, uContinue);
    uStopRequested = 0;
}

TEST(AppDaemon, HandlerReleasesThePidFileOnce)
{
    char tmpl[] = "/tmp/dorvish-pid-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
    __my_pidFile = fd;
    handler(SIGTERM);
    EXPECT_EQ(-1, __my_pidFile);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD)); // closed
    int other = open(tmpl, O_RDWR);
    EXPECT_EQ(0, flock(other, LOCK_EX | LOCK_NB)); // and unlocked
    handler(SIGTERM);
    EXPECT_GE(fcntl(other, F_GETFD), 0); // the second signal leaves descriptors alone
    close(other);
    unlink(tmpl);
    uStopRequested = 0;
}

} // namespace
