// The service console driven directly: reads handed to the core, a socket pair
// as the console's peer.

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "work_peer.h"


namespace {

const std::string PROMPT = "PASTE TEXT OF CONFIG FILE, TYPE +++ END OF FILE\n";

class ServiceDirect : public ::testing::Test {
protected:
    ServiceDirect()
    {
        config::free();
        lastServiceCommand = 0;
        asock& reactor = workPeer::reactor(core);
        listener = reactor.createTcp();
        workPeer::attachKind(core, listener, CONN_SERVICE);
        listener->setAccept(50);
        EXPECT_TRUE(reactor.listen(listener, 0));
        EXPECT_TRUE(reactor.addSock(listener));
    }
    ~ServiceDirect() override { lastServiceCommand = 0; }

    // What the reactor does before OnAccept; the help text, the greeting, is read away.
    void accept(pairConn& c)
    {
        c.record->parent = listener;
        c.record->sockState = listener->sockState;
        ++listener->acceptCount;
        core.OnAccept(c.record);
        c.owned = false;
        EXPECT_EQ(std::string(SERVICE_COMMANDS, SERVICE_COMMANDS_LEN), c.received()) << "greeting";
    }
    // One read, and what it sent back.
    std::string command(pairConn& c, const std::string& bytes)
    {
        c.arrive(bytes);
        core.OnRead(c.record);
        return c.received();
    }
    void loadConfig(const std::string& text)
    {
        dir.write("test.cfg", text);
        config::getInstance()->confInit(dir.path + "/test.cfg");
    }

    scratchDir dir;
    work core;
    ssock* listener = nullptr;
};

TEST_F(ServiceDirect, LastCommandByte)
{
    pairConn c;
    accept(c);
    const struct {
        std::string bytes;
        unsigned char after;
    } cases[] = {{"h\n", 'h'}, {"\n", '\n'}, {"zz", 'z'}, {std::string("\0", 1), 0}, {"V\r\n", 'V'}, {"P\n", 'P'},
                 {"text\n", 'P'}, {"+++", 0}};
    for (const auto& k : cases) {
        command(c, k.bytes);
        EXPECT_EQ(k.after, lastServiceCommand) << k.bytes;
    }
}

TEST_F(ServiceDirect, PasteTakesAtMost4095BytesOfARead)
{
    pairConn c;
    accept(c);
    ASSERT_EQ(PROMPT, command(c, "p\n"));
    std::string read(5000, 'a');
    read.replace(4095, 3, "+++"); // beyond the command: not seen
    EXPECT_EQ("", command(c, read));
    EXPECT_EQ(std::string(4095, 'a'), scratchDir::read(dir.path + "/config.cfg.tmp"));
    // Bytes after a NUL still go to the file, as received.
    EXPECT_EQ("", command(c, std::string("x\0y", 3)));
    EXPECT_EQ("CONFIG WAS SAVED\n", command(c, "+++\n"));
    EXPECT_EQ(std::string(4095, 'a') + std::string("x\0y", 3), scratchDir::read(dir.path + "/config.cfg"));
}

bool isLink(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool isDirectory(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names in the directory, sorted.
std::vector<std::string> namesIn(const std::string& dir)
{
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> withoutPasteFiles(std::vector<std::string> names)
{
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return n == "config.cfg.tmp" || n == "test.log"; }),
                names.end());
    return names;
}

TEST_F(ServiceDirect, FailedSaveIsReportedAndSparesTheConfig)
{
    const struct {
        const char* name;
        void (*prepare)(const std::string& dir);
        void (*check)(const std::string& dir);
    } cases[] = {
        // The temporary file cannot be created: the paste is lost, the config kept.
        {"temporary file is a directory", [](const std::string& d) { mkdir((d + "/config.cfg.tmp").c_str(), 0700); },
         [](const std::string& d) { EXPECT_EQ("old\n", scratchDir::read(d + "/config.cfg")); }},
        // A link there must not turn the paste's writes onto another file.
        {"temporary file is a link",
         [](const std::string& d) {
             writeFile(d + "/victim", "victim\n");
             symlink((d + "/victim").c_str(), (d + "/config.cfg.tmp").c_str());
         },
         [](const std::string& d) {
             EXPECT_EQ("victim\n", scratchDir::read(d + "/victim"));
             EXPECT_EQ("old\n", scratchDir::read(d + "/config.cfg"));
         }},
        {"temporary file is a dangling link",
         [](const std::string& d) { symlink((d + "/victim").c_str(), (d + "/config.cfg.tmp").c_str()); },
         [](const std::string& d) {
             EXPECT_FALSE(access((d + "/victim").c_str(), F_OK) == 0);
             EXPECT_EQ("old\n", scratchDir::read(d + "/config.cfg"));
         }},
        // A link is neither replaced nor written through.
        {"config is a link",
         [](const std::string& d) {
             rename((d + "/config.cfg").c_str(), (d + "/target.cfg").c_str());
             symlink((d + "/target.cfg").c_str(), (d + "/config.cfg").c_str());
         },
         [](const std::string& d) {
             EXPECT_TRUE(isLink(d + "/config.cfg"));
             EXPECT_EQ("old\n", scratchDir::read(d + "/target.cfg"));
         }},
        {"config is a link to a full disk",
         [](const std::string& d) {
             unlink((d + "/config.cfg").c_str());
             symlink("/dev/full", (d + "/config.cfg").c_str());
         },
         [](const std::string& d) { EXPECT_TRUE(isLink(d + "/config.cfg")); }},
        {"config is a directory",
         [](const std::string& d) {
             unlink((d + "/config.cfg").c_str());
             mkdir((d + "/config.cfg").c_str(), 0700);
         },
         [](const std::string& d) { EXPECT_TRUE(isDirectory(d + "/config.cfg")); }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        scratchDir own;
        own.write("config.cfg", "old\n");
        k.prepare(own.path);
        const std::vector<std::string> before = namesIn(own.path);
        pairConn c;
        accept(c);
        EXPECT_EQ(PROMPT, command(c, "p\n"));
        EXPECT_EQ("", command(c, "new\n"));
        EXPECT_EQ("CONFIG WAS NOT SAVED\n", command(c, "+++\n"));
        EXPECT_EQ(0, lastServiceCommand);
        k.check(own.path);
        // No sibling of the config is left behind; the paste's own files may be new.
        EXPECT_EQ(withoutPasteFiles(before), withoutPasteFiles(namesIn(own.path)));
    }
}

// The save makes a new file: it keeps the owner and group and their read bits
// of the file it replaces, but never leaves it writable by the group or open to
// others; a new one is 0640 less the mask. A temporary file left open to others
// is closed to them by the paste.
TEST_F(ServiceDirect, SavedConfigKeepsItsOwnerButIsClosedToOthers)
{
    const struct {
        int before; // -1: no config.cfg yet
        int after;
        int tmpBefore, tmpAfter; // the temporary file's, the same way
    } cases[] = {{-1, 0640, -1, 0640},    {0600, 0600, 0600, 0600}, {0644, 0640, 0666, 0640},
                 {0666, 0640, 0604, 0600}, {0660, 0640, 0640, 0640}, {0400, 0400, 0620, 0600}};
    const mode_t mask = umask(022);
    const bool root = geteuid() == 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.before);
        scratchDir own;
        if (k.before >= 0) {
            own.write("config.cfg", "old\n");
            ASSERT_EQ(0, chmod("config.cfg", static_cast<mode_t>(k.before)));
            // Only root can hand a file to another owner, and keep it there.
            if (root) {
                ASSERT_EQ(0, chown("config.cfg", 65534, 65534));
            }
        }
        if (k.tmpBefore >= 0) {
            own.write("config.cfg.tmp", "stale\n");
            ASSERT_EQ(0, chmod("config.cfg.tmp", static_cast<mode_t>(k.tmpBefore)));
        }
        pairConn c;
        accept(c);
        EXPECT_EQ(PROMPT, command(c, "p\n"));
        EXPECT_EQ("", command(c, "[dorvish]\n"));
        EXPECT_EQ("CONFIG WAS SAVED\n", command(c, "+++\n"));
        EXPECT_EQ("[dorvish]\n", scratchDir::read(own.path + "/config.cfg"));
        struct stat info;
        ASSERT_EQ(0, lstat("config.cfg", &info));
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(k.after, static_cast<int>(info.st_mode & 07777));
        if (root && k.before >= 0) {
            EXPECT_EQ(65534u, info.st_uid);
            EXPECT_EQ(65534u, info.st_gid);
        }
        ASSERT_EQ(0, stat("config.cfg.tmp", &info));
        EXPECT_EQ(k.tmpAfter, static_cast<int>(info.st_mode & 07777));
        EXPECT_EQ((std::vector<std::string>{"config.cfg", "config.cfg.tmp", "test.log"}), namesIn(own.path));
    }
    umask(mask);
}

TEST_F(ServiceDirect, RangeMustFitTheFreePartOfTheWriteBuffer)
{
    dir.write("data.txt", std::string(8000, 'd'));
    pairConn c;
    accept(c);
    // 6000 bytes wait unsent in the write buffer: 4240 are free.
    const std::string waiting(6000, 'w');
    ASSERT_EQ(6000, c.record->setWrBuff(reinterpret_cast<const unsigned char*>(waiting.data()), 6000));
    EXPECT_EQ(waiting + "\n", command(c, "s data.txt 0 4241\n"));
    ASSERT_EQ(6000, c.record->setWrBuff(reinterpret_cast<const unsigned char*>(waiting.data()), 6000));
    EXPECT_EQ(waiting + std::string(4240, 'd') + "\n", command(c, "s data.txt 0 4240\n"));
}

// A reply that does not fit beside the bytes still waiting is dropped, but the
// waiting bytes go out: nothing else would push them.
TEST_F(ServiceDirect, RefusedReplyStillSendsWhatIsWaiting)
{
    dir.write("config.cfg", "[dorvish]\nxmlport 1\n");
    const char* commands[] = {"c\n", "v\n", "h\n"}; // 4096, 4096 and 398 bytes
    for (const char* cmd : commands) {
        SCOPED_TRACE(cmd);
        pairConn c;
        accept(c);
        const std::string waiting(10000, 'w');
        ASSERT_EQ(10000, c.record->setWrBuff(reinterpret_cast<const unsigned char*>(waiting.data()), 10000));
        EXPECT_EQ(waiting, command(c, cmd));
    }
}

TEST_F(ServiceDirect, ListTooLongForTheWriteBufferIsNotSent)
{
    // More than 64 KiB, but less than 64 KiB + the buffer: a 16-bit length
    // would make it look small enough to send.
    const std::string logs = dir.path + "/logs";
    mkdir(logs.c_str(), 0700);
    const std::string listCommand = "ls -lha " + logs + "/d_*.log";
    auto listed = [&] {
        std::string out;
        FILE* p = popen(listCommand.c_str(), "r");
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
        return out.size();
    };
    int files = 0;
    auto add = [&](int count) {
        for (int i = 0; i < count; ++i, ++files)
            dir.write("logs/d_" + std::string(100, 'n') + std::to_string(100000 + files) + ".log", "");
    };
    add(300);
    while (listed() < 65536 + 200)
        add(10);
    const size_t size = listed();
    ASSERT_LT(size, 65536u + 10240u - 200u);
    loadConfig("[dorvish]\nlog " + logs + "/d_%s.log\n");

    pairConn c;
    accept(c);
    EXPECT_EQ("", command(c, "l\n"));
    EXPECT_EQ(std::string(SERVICE_COMMANDS, SERVICE_COMMANDS_LEN), command(c, "h\n"));
}

TEST_F(ServiceDirect, QuitReleasesTheConnection)
{
    pairConn c;
    accept(c);
    const size_t kinds = workPeer::kinds(core);
    EXPECT_EQ("", command(c, "q\n"));
    EXPECT_TRUE(c.peerClosed());
    EXPECT_EQ(kinds - 1, workPeer::kinds(core));
    EXPECT_EQ(nullptr, c.record->getState());
    EXPECT_EQ('q', lastServiceCommand);
}

}  // namespace
