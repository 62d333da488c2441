// The service console of the real daemon over loopback TCP.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

#include "service_daemon.h"
#include "work.h"

namespace {

// The help text, line by line.
std::string expectedHelp()
{
    std::string text = "\n\n" + std::string(44, '-') + "\nCOMMANDS:\n";
    const char* const lines[][2] = {{"h", "show this help"}, {"c", "get config"}, {"p", "put config"},
                                    {"v", "get version"},    {"l", "logs list"},  {"s [file] [start byte] [end byte]", "show log"},
                                    {"q", "quit"}};
    for (const auto& line : lines) {
        std::string command = line[0];
        text += command + std::string(36 - command.size(), ' ') + "- " + line[1] + "\n";
    }
    return text + "\n\n";
}

std::string page(const std::string& text) { return text + std::string(4096 - text.size(), '\0'); }

const std::string VERSION_PAGE = page("build: Tue Nov 22 17:56:25 2016\nversion: 0.481\n");
const std::string UNKNOWN = "UNKNOWN COMMAND\n";
const std::string BAD = "BAD PARAMS\n";
const std::string PROMPT = "PASTE TEXT OF CONFIG FILE, TYPE +++ END OF FILE\n";
const std::string SAVED = "CONFIG WAS SAVED\n";

std::string shell(const std::string& command)
{
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return "";
    const std::string out = readAll(p);
    pclose(p);
    return out;
}

class ServiceConsole : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()); }

    // The command's reply; then "h" proves nothing more was sent.
    void expectReply(console& con, const std::string& command, const std::string& reply)
    {
        EXPECT_EQ(reply, con.ask(command, reply.size())) << "command: " << command;
        EXPECT_EQ(HELP, con.ask("h\n", HELP.size())) << "after: " << command;
    }
    void expectSilence(console& con, const std::string& command)
    {
        EXPECT_TRUE(con.tell(command)) << "command: " << command;
        EXPECT_EQ(HELP, con.ask("h\n", HELP.size())) << "after: " << command;
    }

    const std::string HELP = expectedHelp();
    consoleDaemon daemon;
};

TEST_F(ServiceConsole, HelpTextBytes)
{
    EXPECT_EQ(398u, HELP.size());
    EXPECT_EQ(HELP, std::string(SERVICE_COMMANDS, SERVICE_COMMANDS_LEN));
    console con(daemon);
    EXPECT_EQ(HELP, con.greeting);
}

TEST_F(ServiceConsole, CommandsActOnTheirFirstByte)
{
    daemon.run.config("config.cfg", "[dorvish]\nxmlport 1\n");
    const struct {
        std::string command, reply;
    } cases[] = {
        {"h\n", HELP},
        {"help\r\n", HELP},
        {"H", HELP},
        {"v\n", VERSION_PAGE},
        {"Version\r\n", VERSION_PAGE},
        {"c\n", page("[dorvish]\nxmlport 1\n")},
        {"Config\r\n", page("[dorvish]\nxmlport 1\n")},
        {"x\n", UNKNOWN},
        {"\r\n", UNKNOWN},
        {" h\n", UNKNOWN},
        {"1\n", UNKNOWN},
        {std::string("\0h\n", 3), UNKNOWN},
        {"\xff\xfe\x01", UNKNOWN},
    };
    console con(daemon);
    for (const auto& c : cases)
        expectReply(con, c.command, c.reply);
    EXPECT_TRUE(has(daemon.log(), "SERVICE READ: help\r\n\n"));
}

TEST_F(ServiceConsole, BareLineEndIsLoggedAndAnsweredWithNothing)
{
    console con(daemon);
    expectSilence(con, "\n");
    expectSilence(con, "\nh\n"); // only the first byte counts
    EXPECT_EQ(2u, countOf(daemon.log(), "SERVICE READ: \n"));
}

TEST_F(ServiceConsole, QuitClosesWithoutReplyOrCloseLine)
{
    // The start-up check's own connection has been logged as closed.
    ASSERT_TRUE(eventually([&] { return has(daemon.log(), "Close connect"); }));
    console other(daemon);
    for (const char* command : {"q\n", "Quit\r\n"}) {
        console con(daemon);
        const size_t closes = countOf(daemon.log(), "Close connect");
        con.c.send(command);
        EXPECT_EQ("", con.c.receive(1u << 20)) << command;
        EXPECT_TRUE(con.c.eof) << command;
        EXPECT_EQ(VERSION_PAGE, other.ask("v\n", VERSION_PAGE.size())); // the daemon is past the close
        EXPECT_EQ(closes, countOf(daemon.log(), "Close connect")) << command;
    }
    console after(daemon);
    EXPECT_EQ(HELP, after.greeting);
}

TEST_F(ServiceConsole, AcceptsAtMost50Connections)
{
    std::vector<std::unique_ptr<console>> open;
    for (int i = 0; i < 50; ++i) {
        open.emplace_back(new console(daemon));
        ASSERT_EQ(HELP, open.back()->greeting) << i;
    }
    {
        client refused(daemon.servicePort);
        EXPECT_EQ("", refused.receive(1));
        EXPECT_TRUE(refused.eof);
    }
    // A closed one makes room again, once the daemon has seen it go.
    open.pop_back();
    EXPECT_TRUE(eventually([&] {
        client again(daemon.servicePort);
        return again.receive(HELP.size(), 500) == HELP;
    }));
    EXPECT_EQ(VERSION_PAGE, open.front()->ask("v\n", VERSION_PAGE.size()));
}

TEST_F(ServiceConsole, ConfigShowsItsFirst4096Bytes)
{
    console con(daemon);
    expectReply(con, "c\n", std::string(4096, '\0')); // no config.cfg yet
    std::string big;
    for (int i = 0; big.size() < 5000; ++i)
        big += "line " + std::to_string(i) + "\n";
    big.resize(5000);
    daemon.run.config("config.cfg", big);
    expectReply(con, "c\n", big.substr(0, 4096));
}

TEST_F(ServiceConsole, PasteReplacesTheConfig)
{
    daemon.run.config("config.cfg", "old\n");
    console con(daemon);
    ASSERT_EQ(PROMPT, con.ask("p\n", PROMPT.size()));
    ASSERT_EQ(0, fileSize(daemon.path("config.cfg.tmp")));
    ASSERT_TRUE(con.paste("[dorvish]\n", 10));
    ASSERT_TRUE(con.paste("h\r\nxmlport 2\r\n", 24)); // a command letter is text here
    EXPECT_EQ(SAVED, con.ask("tail\n+++\nmore\n", SAVED.size())); // nothing of this read is kept
    EXPECT_EQ("[dorvish]\nh\r\nxmlport 2\r\n", readFile(daemon.path("config.cfg")));
    EXPECT_EQ("[dorvish]\nh\r\nxmlport 2\r\n", readFile(daemon.path("config.cfg.tmp")));
    expectReply(con, "c\n", page("[dorvish]\nh\r\nxmlport 2\r\n"));

    // A new paste empties the temporary file first.
    ASSERT_EQ(PROMPT, con.ask("P\n", PROMPT.size()));
    expectReply(con, "+++", SAVED);
    EXPECT_EQ("", readFile(daemon.path("config.cfg")));
}

TEST_F(ServiceConsole, PasteModeBelongsToTheServerNotTheConnection)
{
    console other(daemon);
    {
        console first(daemon);
        ASSERT_EQ(PROMPT, first.ask("p\n", PROMPT.size()));
        ASSERT_TRUE(other.paste("h\n", 2)); // no help, just text
        ASSERT_TRUE(first.paste("a\n", 4));
    } // closing the connection that began it does not end it
    console third(daemon);
    EXPECT_EQ(HELP, third.greeting);
    ASSERT_TRUE(third.paste("q\n", 6));
    EXPECT_EQ(SAVED, other.ask("+++\n", SAVED.size()));
    EXPECT_EQ("h\na\nq\n", readFile(daemon.path("config.cfg")));
    expectReply(third, "h\n", HELP);
}

TEST_F(ServiceConsole, ShowRangeOfAFile)
{
    std::string fifty;
    for (int i = 0; i < 50; ++i)
        fifty += static_cast<char>('A' + i % 26);
    daemon.run.config("fifty.txt", fifty);
    std::string big(30000, 'x');
    for (size_t i = 0; i < big.size(); i += 100)
        big[i] = '\n';
    daemon.run.config("big.txt", big);
    ASSERT_EQ(0, mkfifo(daemon.path("fifo").c_str(), 0600));

    const struct {
        std::string command, reply;
    } cases[] = {
        {"s fifty.txt 0 100\n", fifty + "\n"},
        {"s fifty.txt 10 -1\n", fifty.substr(10) + "\n"},
        {"S fifty.txt 48 4294967295\n", fifty.substr(48) + "\n"},
        {"s  fifty.txt   5   7\r\n", fifty.substr(5, 2) + "\n"},
        {"s fifty.txt 0 3 extra words\n", fifty.substr(0, 3) + "\n"},
        {"s " + daemon.path("fifty.txt") + " 40 50\n", fifty.substr(40) + "\n"},
        {"show fifty.txt 1 2", fifty.substr(1, 1) + "\n"},
        {"s fifty.txt 10 10\n", BAD},
        {"s fifty.txt 100 50\n", BAD},
        {"s fifty.txt -5 10\n", BAD},            // a negative start is larger than any end
        {"s fifty.txt 4294967306 50\n", BAD},    // too large to be a start, never wrapped to 10
        {"s fifty.txt 10\n", BAD},
        {"s fifty.txt 10 ", BAD},                // the end is missing behind the blank
        {"s fifty.txt 0 \n", BAD},               // the line end alone gives 0
        {"s\n", BAD},
        {"s missing.txt 0 10\n", BAD},
        {"s . 0 10\n", BAD},                     // opens, but yields no bytes
        {"s /dev/null 0 10\n", BAD},
        {"s fifo 0 10\n", BAD},                  // no writer: must not wait for one
        {"s big.txt 0 10240\n", big.substr(0, 10240) + "\n"},
        {"s big.txt 0 10241\n", "\n"},
        {"s big.txt 0 20000\n", "\n"},
        {"s big.txt 5000 -1\n", "\n"},
    };
    console con(daemon);
    for (const auto& c : cases)
        expectReply(con, c.command, c.reply);
    EXPECT_TRUE(has(daemon.log(), "\nfifty.txt\n10\n-1\n\n"));
}

TEST_F(ServiceConsole, ShowRangeBeyondTwoGigabytes)
{
    // Sparse: 3 GiB with five bytes at its very end.
    const long long size = 3LL << 30;
    const int fd = open(daemon.path("huge.log").c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate64(fd, size));
    ASSERT_EQ(5, pwrite64(fd, "HELLO", 5, size - 5));
    close(fd);

    console con(daemon);
    expectReply(con, "s huge.log " + std::to_string(size - 5) + " -1\n", "HELLO\n");
    expectReply(con, "s huge.log " + std::to_string(size - 5) + " " + std::to_string(size - 3) + "\n", "HE\n");
    expectReply(con, "s huge.log 0 -1\n", "\n"); // too long to send, so not read either
}

TEST_F(ServiceConsole, LogListOfThePattern)
{
    console con(daemon);
    con.c.send("l\n");
    std::string reply = con.c.receiveUntil(".txt\n");
    const std::string listing = shell("cd '" + daemon.run.dir + "' && ls -lha log_*.txt");
    ASSERT_FALSE(listing.empty());
    EXPECT_EQ(listing, reply);
    EXPECT_TRUE(has(daemon.log(), "ls -lha log_*.txt\n"));
    EXPECT_EQ(HELP, con.ask("h\n", HELP.size()));
}

TEST(ServiceConsoleNoLogKey, ListsTheWorkingDirectory)
{
    consoleDaemon daemon;
    ASSERT_TRUE(daemon.start(""));
    console con(daemon);
    con.c.send("L\n");
    const std::string reply = con.c.receiveUntil("file.log\n");
    EXPECT_EQ(0u, reply.find("total ")) << reply;
    EXPECT_TRUE(has(reply, " file.log\n")) << reply;
    EXPECT_TRUE(has(daemon.log(), "ls -lha \n"));
}

TEST_F(ServiceConsole, BadInputLeavesTheDaemonServing)
{
    daemon.run.config("config.cfg", "keep\n");
    std::string noise;
    unsigned seed = 12345;
    for (int i = 0; i < 10240; ++i) {
        seed = seed * 1103515245u + 12345u;
        char c = static_cast<char>(seed >> 16);
        // However the bytes are cut into reads, none may begin a paste or a quit.
        noise += strchr("pPqQ", c) && c ? 'z' : c;
    }
    for (size_t length : {size_t(1), size_t(4095), size_t(4096), size_t(10240)}) {
        console con(daemon);
        std::string bytes = noise.substr(0, length);
        con.c.send(bytes);
        con.c.receive(1u << 20, 300);
    }
    console con(daemon);
    EXPECT_EQ(HELP, con.greeting);
    expectReply(con, "c\n", page("keep\n"));
}

}  // namespace
