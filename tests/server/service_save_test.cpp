// The console's save against the real daemon when its files fail it: a paste
// that lost bytes, a copy that fails part-way, a stale temporary file it cannot
// empty. After "+++" config.cfg holds its old bytes or the whole new text.
#include <gtest/gtest.h>
#include <glob.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "service_daemon.h"

namespace {

const std::string PROMPT = "PASTE TEXT OF CONFIG FILE, TYPE +++ END OF FILE\n";
const std::string SAVED = "CONFIG WAS SAVED\n";
const std::string NOT_SAVED = "CONFIG WAS NOT SAVED\n";
const std::string OLD = "[dorvish]\nold 1\n";

// A file-size limit makes writes fail with EFBIG; ignored, SIGXFSZ would end
// the daemon instead. An ignored signal stays ignored across exec.
void limitFileSize(rlim_t bytes)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Lines of text adding up to exactly size bytes.
std::string textOf(size_t size, char letter)
{
    std::string text;
    while (text.size() < size)
        text += std::string(63, letter) + "\n";
    text.resize(size);
    text.back() = '\n';
    return text;
}

// The siblings of config.cfg in the directory other than the temporary file.
size_t strayCopies(const std::string& dir)
{
    glob_t found;
    size_t n = 0;
    if (glob((dir + "/config.cfg.*").c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            n += std::string(found.gl_pathv[i]) != dir + "/config.cfg.tmp";
    }
    globfree(&found);
    return n;
}

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

// Root ignores file modes; without CAP_DAC_OVERRIDE it is bound by them like
// any owner. Dropped from the bounding set, the capability is gone after exec.
void bindByFileModes()
{
    if (geteuid() == 0)
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
}

// True when a process started the way the daemon is cannot open path for writing.
bool unwritableForTheDaemon(const std::string& path)
{
    const pid_t child = fork();
    if (child == 0) {
        bindByFileModes();
        execl("/bin/sh", "sh", "-c", "exec 3>>\"$0\"", path.c_str(), static_cast<char*>(nullptr));
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

TEST_F(ServiceSave, StaleTemporaryFileThatCannotBeEmptiedIsNotSaved)
{
    const std::string stale = "[dorvish]\nexec /bin/stale\n";
    d.run.config("config.cfg.tmp", stale);
    ASSERT_EQ(0, chmod(d.path("config.cfg.tmp").c_str(), 0444));
    ASSERT_TRUE(unwritableForTheDaemon(d.path("config.cfg.tmp")))
        << "a read-only file stays writable here even without CAP_DAC_OVERRIDE";
    d.run.beforeExec = bindByFileModes;
    start();
    console con(d);
    ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
    EXPECT_EQ(stale, readFile(d.path("config.cfg.tmp")));
    EXPECT_EQ(NOT_SAVED, con.ask("+++\n", NOT_SAVED.size()));
    EXPECT_EQ(OLD, readFile(d.path("config.cfg")));
    EXPECT_EQ(stale, readFile(d.path("config.cfg.tmp")));
}

}  // namespace
