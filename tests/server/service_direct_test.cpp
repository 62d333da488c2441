// The service console driven directly: reads handed to the core, a socket pair
// as the console's peer.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST_F(ServiceDirect, FailedSaveIsReportedAndSparesTheConfig)
{
    const struct {
        const char* name;
        void (*prepare)(const std::string& dir);
        std::string configAfter; // "" : not checked
    } cases[] = {
        // The temporary file cannot be created: the paste is lost, the config kept.
        {"temporary file is a directory", [](const std::string& d) { mkdir((d + "/config.cfg.tmp").c_str(), 0700); }, "old\n"},
        // The copy fails while writing.
        {"config on a full disk", [](const std::string& d) {
             unlink((d + "/config.cfg").c_str());
             symlink("/dev/full", (d + "/config.cfg").c_str());
         }, ""},
        {"config cannot be opened", [](const std::string& d) {
             unlink((d + "/config.cfg").c_str());
             mkdir((d + "/config.cfg").c_str(), 0700);
         }, ""},
    };
    for (const auto& k : cases) {
        scratchDir own;
        own.write("config.cfg", "old\n");
        k.prepare(own.path);
        pairConn c;
        accept(c);
        EXPECT_EQ(PROMPT, command(c, "p\n")) << k.name;
        EXPECT_EQ("", command(c, "new\n")) << k.name;
        EXPECT_EQ("CONFIG WAS NOT SAVED\n", command(c, "+++\n")) << k.name;
        EXPECT_EQ(0, lastServiceCommand) << k.name;
        if (!k.configAfter.empty()) {
            EXPECT_EQ(k.configAfter, scratchDir::read(own.path + "/config.cfg")) << k.name;
        }
    }
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
