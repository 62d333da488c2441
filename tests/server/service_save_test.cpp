// The console's save against the real daemon when its files fail it: a paste
// that lost bytes and a copy that fails part-way, both past a file-size limit
// that would raise SIGXFSZ. After "+++" config.cfg holds its old bytes or the
// whole new text, and the daemon serves on.
#include <gtest/gtest.h>

#include "file_limits.h"
#include "service_daemon.h"

namespace {

const std::string PROMPT = "PASTE TEXT OF CONFIG FILE, TYPE +++ END OF FILE\n";
const std::string SAVED = "CONFIG WAS SAVED\n";
const std::string NOT_SAVED = "CONFIG WAS NOT SAVED\n";
const std::string OLD = "[dorvish]\nold 1\n";

class ServiceSave : public ::testing::Test {
protected:
    void start()
    {
        d.run.config("config.cfg", OLD);
        ASSERT_TRUE(d.start());
    }
    consoleDaemon d;
};

TEST_F(ServiceSave, PasteThatLostBytesIsNotSaved)
{
    // The first read fits under the limit, the second only in part.
    d.run.beforeExec = [] { limitFileSize(3000); };
    start();
    console con(d);
    ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
    ASSERT_TRUE(con.paste(textOf(2000, 'a'), 2000));
    ASSERT_TRUE(con.paste(textOf(2000, 'b'), 3000));
    EXPECT_EQ(NOT_SAVED, con.ask("+++\n", NOT_SAVED.size()));
    EXPECT_EQ(OLD, readFile(d.path("config.cfg")));

    // The mark belongs to that paste: the next one that fits is saved.
    ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
    ASSERT_TRUE(con.paste("[dorvish]\nnew 1\n", 16));
    EXPECT_EQ(SAVED, con.ask("+++\n", SAVED.size()));
    EXPECT_EQ("[dorvish]\nnew 1\n", readFile(d.path("config.cfg")));
}

TEST_F(ServiceSave, CopyThatFailsPartWayKeepsTheOldConfig)
{
    d.run.beforeExec = [] { limitFileSize(RLIM_INFINITY); };
    start();
    console con(d);
    ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
    const std::string text = textOf(3000, 'a') + textOf(3000, 'b');
    ASSERT_TRUE(con.paste(text.substr(0, 3000), 3000));
    ASSERT_TRUE(con.paste(text.substr(3000), 6000));

    // Now the copy can write only its first 1000 bytes.
    rlimit limit;
    ASSERT_EQ(0, prlimit(d.run.daemonPid, RLIMIT_FSIZE, nullptr, &limit));
    limit.rlim_cur = 1000;
    ASSERT_EQ(0, prlimit(d.run.daemonPid, RLIMIT_FSIZE, &limit, nullptr));
    EXPECT_EQ(NOT_SAVED, con.ask("+++\n", NOT_SAVED.size()));
    EXPECT_EQ(OLD, readFile(d.path("config.cfg")));
    EXPECT_EQ(0u, strayCopies(d.run.dir));

    // Without the limit the same text is saved whole.
    limit.rlim_cur = RLIM_INFINITY;
    ASSERT_EQ(0, prlimit(d.run.daemonPid, RLIMIT_FSIZE, &limit, nullptr));
    ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
    ASSERT_TRUE(con.paste(text.substr(0, 3000), 3000));
    ASSERT_TRUE(con.paste(text.substr(3000), 6000));
    EXPECT_EQ(SAVED, con.ask("+++\n", SAVED.size()));
    EXPECT_EQ(text, readFile(d.path("config.cfg")));
    EXPECT_EQ(0u, strayCopies(d.run.dir));
}

}  // namespace
