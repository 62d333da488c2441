// The server core: settings, listeners, connection bookkeeping and the read
// dispatch, driven directly (callbacks called by the test, socket pairs as peers).
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>

#include "free_port.h"
#include "md5.h"
#include "terminal_frames.h"
#include "work_peer.h"

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

int freePort() { return freeTcpPort(); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Loads text as the configuration for the next server core.
void loadConfig(const scratchDir& dir, const std::string& text)
{
    config::free();
    dir.write("test.cfg", text);
    config::getInstance()->confInit(dir.path + "/test.cfg");
}

struct freshConfig {
    freshConfig() { config::free(); }
};

// --- settings and listeners ------------------------------------------------

class WorkInit : public ::testing::Test {
protected:
    freshConfig fresh;
    scratchDir dir;
};

TEST_F(WorkInit, DefaultsWithOnlyThePort)
{
    loadConfig(dir, "[dorvish]\nxmlport " + std::to_string(freePort()) + "\n");
    work core;
    ASSERT_EQ(1, core.init());
    EXPECT_EQ(60000u, workPeer::stl_timeout(core));
    EXPECT_EQ(60000u, workPeer::pur_timeout(core));
    EXPECT_EQ(60000u, workPeer::ref_timeout(core));
    EXPECT_EQ(60000u, workPeer::voi_timeout(core));
    EXPECT_EQ(60000u, workPeer::cmp_timeout(core));
    EXPECT_EQ(5000u, workPeer::png_timeout(core));
    EXPECT_EQ(30000u, workPeer::png_period(core));
    EXPECT_EQ(0u, workPeer::voi_repeat(core));
    EXPECT_EQ(0, workPeer::loadkeyon(core));
    EXPECT_FALSE(workPeer::stlstarton(core));
    EXPECT_FALSE(workPeer::stltimeon(core));
    EXPECT_FALSE(workPeer::utf(core));
    EXPECT_EQ(0, workPeer::serviceport(core));
    EXPECT_EQ(0u, workPeer::states(core).size());
    EXPECT_TRUE(contains(dir.log(), "INF: time stl 00:00 - off\n"));
    EXPECT_EQ(1, core.init()); // once done, done
}

TEST_F(WorkInit, KeysAndTheirConversions)
{
    struct keyCase {
        const char* name;
        std::string keys; // lines of the section besides xmlport
        std::function<void(work&)> check;
        const char* logLine;
    };
    const keyCase cases[] = {
        {"seconds to milliseconds", "voi_timeout 30\nstl_timeout 2\npur_timeout 3\nref_timeout 4\npng_timeout 6\npng_period 7\n",
         [](work& w) {
             EXPECT_EQ(30000u, workPeer::voi_timeout(w));
             EXPECT_EQ(60000u, workPeer::cmp_timeout(w));
             EXPECT_EQ(2000u, workPeer::stl_timeout(w));
             EXPECT_EQ(3000u, workPeer::pur_timeout(w));
             EXPECT_EQ(4000u, workPeer::ref_timeout(w));
             EXPECT_EQ(6000u, workPeer::png_timeout(w));
             EXPECT_EQ(7000u, workPeer::png_period(w));
         },
         nullptr},
        {"settlement time on", "stl_time 23:30\nstltimeon 1\n",
         [](work& w) {
             EXPECT_EQ(23, workPeer::stlHour(w));
             EXPECT_EQ(30, workPeer::stlMin(w));
             EXPECT_TRUE(workPeer::stltimeon(w));
         },
         "INF: time stl 23:30 - on\n"},
        {"hour alone", "stl_time 7\n", [](work& w) { EXPECT_EQ(7, workPeer::stlHour(w)); }, "INF: time stl 07:00 - off\n"},
        {"switches by their low byte", "stlstarton 2\nloadkeyon 2\nutf 257\nloglevel 300\nvoi_repeat 3\n",
         [](work& w) {
             EXPECT_FALSE(workPeer::stlstarton(w));
             EXPECT_EQ(2, workPeer::loadkeyon(w));
             EXPECT_TRUE(workPeer::utf(w));
             EXPECT_EQ(44, workPeer::loglevel(w));
             EXPECT_EQ(3u, workPeer::voi_repeat(w));
         },
         nullptr},
        {"first of duplicate keys", "loglevel 5\nloglevel 9\nstlstarton 1\n",
         [](work& w) {
             EXPECT_EQ(5, workPeer::loglevel(w));
             EXPECT_TRUE(workPeer::stlstarton(w));
         },
         nullptr},
        {"not a number", "pur_timeout abc\nutf one\n",
         [](work& w) {
             EXPECT_EQ(60000u, workPeer::pur_timeout(w));
             EXPECT_FALSE(workPeer::utf(w));
         },
         nullptr},
    };
    for (const keyCase& c : cases) {
        for (bool crlf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (crlf ? " (CR LF)" : ""));
            const size_t before = dir.log().size(); // only this row's lines count
            std::string text = "[dorvish]\nxmlport " + std::to_string(freePort()) + "\n" + c.keys;
            if (crlf) {
                std::string converted;
                for (char ch : text)
                    converted += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
                text = converted;
            }
            loadConfig(dir, text);
            work core;
            ASSERT_EQ(1, core.init());
            c.check(core);
            if (c.logLine) {
                EXPECT_TRUE(contains(dir.log().substr(before), c.logLine));
            }
        }
    }
}

TEST_F(WorkInit, Failures)
{
    const int taken = freePort();
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(taken));
    ASSERT_EQ(0, bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(blocker, 1));

    const std::string port = std::to_string(freePort());
    const std::string t = std::to_string(freePort());
    struct failCase {
        const char* name;
        std::string text;
        std::string logLine;
    };
    const failCase cases[] = {
        {"no xmlport", "[dorvish]\nloglevel 1\n", "ERR: Not specified port number (xmlport=0)"},
        {"xmlport 0", "[dorvish]\nxmlport 0\n", "ERR: Not specified port number (xmlport=0)"},
        {"xmlport taken", "[dorvish]\nxmlport " + std::to_string(taken) + "\n",
         "ERR: Failed to create listening socket, port: " + std::to_string(taken)},
        {"service port taken", "[dorvish]\nxmlport " + port + "\nserviceport " + std::to_string(taken) + "\n",
         "ERR: Failed to create listening socket, port: " + std::to_string(taken)},
        {"terminal port named twice", "[dorvish]\nxmlport " + port + "\nport_3 " + t + " # port_3 again\n",
         "ERR: Failed to create listening socket, port: " + t},
    };
    for (const failCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = dir.log().size(); // only this row's lines count
        loadConfig(dir, c.text);
        work core;
        EXPECT_EQ(0, core.init());
        EXPECT_TRUE(contains(dir.log().substr(before), c.logLine + "\n"));
    }
    ::close(blocker);
}

TEST_F(WorkInit, TerminalPortsFoundInTheSectionText)
{
    const std::string text = "[dorvish]\nxmlport " + std::to_string(freePort()) + "\n# port_5 is mentioned only\n" +
                             "port_7 " + std::to_string(freePort()) + "\nport_07 " + std::to_string(freePort()) +
                             "\nport_0 " + std::to_string(freePort()) + "\nport_107 " + std::to_string(freePort()) + "\n";
    loadConfig(dir, text);
    work core;
    ASSERT_EQ(1, core.init());
    mymap<state*>& states = workPeer::states(core);
    EXPECT_EQ(4u, states.size());
    for (unsigned n : {0u, 5u, 7u, 107u})
        EXPECT_TRUE(states.has(n)) << n;
    EXPECT_EQ(7, states.get(107u)->uEcr);
    EXPECT_EQ(STRNEW, states.get(7u)->uLevel);
    EXPECT_EQ(VER2, states.get(7u)->uOper);
    // port_5 listens on a port the system chose.
    EXPECT_NE(0, workPeer::listeners(core).get(5u)->getPort());
}

TEST_F(WorkInit, WithoutConfigFileReadsConfigCfg)
{
    const int port = freePort();
    dir.write("config.cfg", "[dorvish]\nxmlport " + std::to_string(port) + "\nport_2 0\n");
    config::getInstance()->confInit(dir.path + "/missing.cfg");
    work core;
    ASSERT_EQ(1, core.init());
    EXPECT_TRUE(workPeer::states(core).has(2u));
}

// --- connections -------------------------------------------------------------

class WorkConn : public ::testing::Test {
protected:
    freshConfig fresh;
    scratchDir dir;
    work core;
    asock& reactor = workPeer::reactor(core);

    // A real listener of the given kind, owned by the reactor.
    ssock* listener(int kind, unsigned number = 0)
    {
        ssock* l = reactor.createTcp();
        workPeer::attachKind(core, l, kind);
        l->setAccept(kind == CONN_TERMINAL ? 2 : 50);
        EXPECT_TRUE(reactor.listen(l, 0));
        EXPECT_TRUE(reactor.addSock(l));
        if (kind == CONN_TERMINAL && number)
            workPeer::listeners(core).insert(number, l);
        return l;
    }

    // What the reactor does before OnAccept.
    void accept(pairConn& c, ssock* from)
    {
        c.record->parent = from;
        c.record->sockState = from ? from->sockState : nullptr;
        c.record->destAddr.sin_addr.s_addr = htonl(0x7F000001);
        if (from)
            ++from->acceptCount;
        core.OnAccept(c.record);
        // Registered, the reactor owns it; refused, OnAccept has freed it.
        c.owned = false;
    }

    state* addState(unsigned n, uint8_t level)
    {
        state* s = new state(n);
        s->uLevel = level;
        workPeer::states(core).insert(n, s);
        return s;
    }

    // One read on a registered connection.
    void arrive(pairConn& c, const std::string& bytes)
    {
        c.arrive(bytes);
        core.OnRead(c.record);
    }
};

TEST_F(WorkConn, CashRegisterIsGreeted)
{
    ssock* l = listener(CONN_CASHBOX);
    pairConn c;
    const size_t before = workPeer::kinds(core);
    accept(c, l);
    ASSERT_FALSE(c.owned);
    const std::string greeting = c.received();
    EXPECT_EQ(0u, greeting.find("EFT-server. "));
    EXPECT_EQ("\r\n", greeting.substr(greeting.size() - 2));
    EXPECT_EQ(greeting.size() - 2, greeting.find_first_of("\r\n")); // one line
    EXPECT_EQ(std::string::npos, greeting.find('\0'));
    EXPECT_TRUE(contains(dir.log(), "Connected cashbox, IP: 127.0.0.1\n"));
    // The connection got a kind of its own, which goes with it.
    EXPECT_NE(l->getState(), c.record->getState());
    EXPECT_EQ(CONN_CASHBOX, *static_cast<int*>(c.record->getState()));
    EXPECT_EQ(before + 1, workPeer::kinds(core));
    core.OnClose(c.record);
    EXPECT_EQ(before, workPeer::kinds(core));
    EXPECT_EQ(nullptr, c.record->getState());
    EXPECT_TRUE(contains(dir.log(), "Close connect, IP: 127.0.0.1\n"));
}

TEST_F(WorkConn, ServiceConsoleGetsHelp)
{
    ssock* l = listener(CONN_SERVICE);
    pairConn c;
    accept(c, l);
    EXPECT_EQ(398u, SERVICE_COMMANDS_LEN);
    const std::string help = c.received();
    EXPECT_EQ(std::string(SERVICE_COMMANDS, SERVICE_COMMANDS_LEN), help);
    const std::string head = "\n\n" + std::string(44, '-') + "\nCOMMANDS:\nh" + std::string(35, ' ') + "- show this help\n";
    EXPECT_EQ(head, help.substr(0, head.size()));
    EXPECT_TRUE(contains(help, "s [file] [start byte] [end byte]    - show log\n"));
    EXPECT_TRUE(contains(dir.log(), "Connected service, IP: 127.0.0.1\n"));
}

TEST_F(WorkConn, TerminalCountdownByLevel)
{
    const std::pair<int, unsigned> cases[] = {{STRNEW, 1000}, {STRKEY, 1000}, {STRSTL, 20000},
                                              {STRIDLE, 1000}, {STRPROC, 20000}, {STRPING, 1000}, {-1, 1000}};
    unsigned n = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ssock* l = listener(CONN_TERMINAL, n);
        if (c.first >= 0)
            addState(n, static_cast<uint8_t>(c.first));
        pairConn t;
        accept(t, l);
        ASSERT_FALSE(t.owned);
        EXPECT_EQ(c.second, t.record->timeout);
        EXPECT_EQ(t.record, workPeer::terminals(core).get(n));
        char line[64];
        snprintf(line, sizeof line, "Connected terminal: %08u, IP: 127.0.0.1\n", n);
        EXPECT_TRUE(contains(dir.log(), line));
        ++n;
    }
}

TEST_F(WorkConn, RefusedConnections)
{
    ssock* zero = listener(CONN_TERMINAL);
    workPeer::listeners(core).insert(0, zero);
    ssock* orphanKind = listener(CONN_TERMINAL);
    struct refuseCase {
        const char* name;
        ssock* from;
        bool withParent;
        const char* logLine;
    };
    const refuseCase cases[] = {
        {"terminal number 0", zero, true, "ERR: 2 (OnAccept), IP: 127.0.0.1\n"},
        {"no parent", orphanKind, false, "ERR: 1 (OnAccept), IP: 127.0.0.1\n"},
        {"no state", nullptr, false, "ERR: getState()=NULL (OnAccept), IP: 127.0.0.1\n"},
    };
    for (const refuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t kinds = workPeer::kinds(core);
        pairConn t;
        t.owned = false; // OnAccept frees a refused record
        int peer = t.peer;
        t.record->parent = c.withParent ? c.from : nullptr;
        t.record->sockState = c.from ? c.from->sockState : nullptr;
        t.record->destAddr.sin_addr.s_addr = htonl(0x7F000001);
        if (c.withParent)
            ++c.from->acceptCount;
        core.OnAccept(t.record);
        char ch;
        EXPECT_EQ(0, ::read(peer, &ch, 1)); // closed
        EXPECT_TRUE(contains(dir.log(), c.logLine));
        EXPECT_EQ(kinds, workPeer::kinds(core));
        if (c.withParent) {
            EXPECT_EQ(0, c.from->acceptCount);
        }
    }
    EXPECT_EQ(0u, workPeer::terminals(core).size());
}

TEST_F(WorkConn, SecondTerminalConnectionReplacesTheFirst)
{
    ssock* l = listener(CONN_TERMINAL, 1);
    addState(1, STRIDLE);
    pairConn first, second;
    accept(first, l);
    accept(second, l);
    EXPECT_EQ(second.record, workPeer::terminals(core).get(1u));
    EXPECT_EQ(1u, workPeer::terminals(core).size());
    core.OnClose(first.record);
    EXPECT_TRUE(contains(dir.log(), "Close connect, IP: 127.0.0.1\n"));
    EXPECT_EQ(second.record, workPeer::terminals(core).get(1u));
    core.OnClose(second.record);
    EXPECT_TRUE(contains(dir.log(), "Close connect, terminal: 00000001, IP: 127.0.0.1\n"));
    EXPECT_EQ(0u, workPeer::terminals(core).size());
    EXPECT_EQ(STRIDLE, workPeer::states(core).get(1u)->uLevel); // the record stays as it was
}

// --- cash-register reads -----------------------------------------------------

class WorkRead : public WorkConn {
protected:
    ssock* cashListener = listener(CONN_CASHBOX);

    void connect(pairConn& c)
    {
        accept(c, cashListener);
        c.received(); // the greeting
    }
    std::string request(const std::string& body) { return DECL + "\n<mess>\n" + body + "\n</mess>\n"; }
};

const char FIXED_CHECK[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"><mess><kkm>1</kkm><code>912</code><type>0910100000</type>"
    "<card>123456789012345</card><resp>account number is not found</resp>"
    "<crc>01020304050607080910111213141516</crc></mess>";
const char FIXED_REPAY[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"><mess><kkm>1</kkm><code>912</code><type>0910200000</type>"
    "<card>123456789012345</card><amount>1000</amount><resp>account number is not found</resp>"
    "<crc>01020304050607080910111213141516</crc></mess>";

TEST_F(WorkRead, RequestsAnsweredAtOnce)
{
    addState(1, STRNEW);
    std::string exact(4095, ' ');
    const std::string doc = "<mess><kkm>9</kkm></mess>";
    exact.replace(exact.size() - doc.size(), doc.size(), doc);
    struct readCase {
        const char* name;
        std::string bytes;
        std::string answerStart; // "" for no answer
        size_t answerSize;       // 0: not checked
        const char* logLine;
    };
    const readCase cases[] = {
        {"fixed check answer", request("<type>0900100000</type><kkm>0</kkm>"), FIXED_CHECK, 212, "INF: check repayment\n"},
        {"type with letters", request("<type>x0900200000x</type>"), DECL + "<mess><code>913</code>", 0,
         "ERR: incorrect query\n"},
        {"fixed repayment in a longer code", request("<type>10900200000</type><kkm>1</kkm>"), FIXED_REPAY, 233,
         "INF: make repayment\n"},
        {"kkm 0", request("<type>0200000000</type><kkm>0</kkm>"), "", 0, "ERR: The field is not filled kkm\n"},
        {"no kkm", request("<type>0200000000</type>"), "", 0, "ERR: The field is not filled kkm\n"},
        {"no terminal record", request("<type>0200000000</type><kkm>09</kkm>"), DECL + "<mess><code>911</code><kkm>09</kkm>",
         0, "ERR: cant find state object for cash number 9\n"},
        {"terminal not started", request("<type>0200000000</type><kkm>01</kkm>"),
         DECL + "<mess><code>914</code><kkm>1</kkm>", 0, nullptr},
        {"not XML", "hello", "<mess><code>913</code><kkm></kkm>", 0, "ERR: incorrect query\n"},
        {"empty read", "", "<mess><code>913</code>", 0, nullptr},
        {"document ends at byte 4095", exact, "<mess><code>911</code><kkm>9</kkm>", 0, nullptr},
        {"document ends after byte 4095", " " + exact, "<mess><code>913</code>", 0, nullptr},
        {"full read buffer", std::string(10240, '<'), "<mess><code>913</code>", 0, nullptr},
        {"NUL before the end", std::string("<mess><kkm>1</kkm>\0</mess>", 26), "<mess><code>913</code>", 0, nullptr},
    };
    for (const readCase& c : cases) {
        SCOPED_TRACE(c.name);
        pairConn conn;
        connect(conn);
        const size_t before = dir.log().size(); // only this row's lines count
        arrive(conn, c.bytes);
        const std::string answer = conn.received();
        if (c.answerStart.empty()) {
            EXPECT_EQ("", answer);
        } else {
            EXPECT_EQ(0u, answer.find(c.answerStart)) << answer;
        }
        if (c.answerSize) {
            EXPECT_EQ(c.answerSize, answer.size());
        }
        if (c.logLine) {
            EXPECT_TRUE(contains(dir.log().substr(before), c.logLine));
        }
        EXPECT_EQ(0, conn.record->getReBuff(nullptr, 0)); // nothing kept for the next read
        EXPECT_GE(conn.record->sock, 0);                  // and the connection stays open
    }
}

TEST_F(WorkRead, NewConnectionForANumberClosesTheOld)
{
    state* s = addState(1, STRNEW);
    pairConn a, b;
    connect(a);
    connect(b);
    arrive(a, "<mess><kkm>1</kkm></mess>");
    EXPECT_EQ(a.record, workPeer::cashboxes(core).get(1u));
    arrive(a, "<mess><kkm>1</kkm></mess>"); // the same connection again: kept
    EXPECT_EQ(a.record, workPeer::cashboxes(core).get(1u));
    const int oldFd = a.record->sock;
    a.received();
    const size_t kinds = workPeer::kinds(core);
    arrive(b, request("<kkm>1</kkm>"));
    EXPECT_TRUE(a.peerClosed());
    EXPECT_EQ(kinds - 1, workPeer::kinds(core)); // the closed one's kind went with it
    EXPECT_EQ(b.record, workPeer::cashboxes(core).get(1u));
    EXPECT_TRUE(contains(dir.log(), "kkm 1 already connected with socket " + std::to_string(oldFd) +
                                        "! Close old connection\n"));
    EXPECT_EQ(DECL, s->strXmlHead);
}

TEST_F(WorkRead, ClosedCashRegisterLeavesNoEntryBehind)
{
    addState(1, STRNEW);
    addState(2, STRNEW);
    pairConn c;
    connect(c);
    arrive(c, "<mess><kkm>1</kkm></mess>");
    arrive(c, "<mess><kkm>2</kkm></mess>");
    EXPECT_EQ(2u, workPeer::cashboxes(core).size());
    core.OnClose(c.record);
    EXPECT_EQ(0u, workPeer::cashboxes(core).size());
}

TEST_F(WorkRead, ReadWithoutKindClosesTheConnection)
{
    pairConn c;
    connect(c);
    c.record->setState(nullptr);
    arrive(c, "<mess><kkm>1</kkm></mess>");
    EXPECT_TRUE(contains(dir.log(), "ERR: pStateTemp=NULL (OnRead)\n"));
    EXPECT_TRUE(c.peerClosed());
}

// --- one request along the whole road -----------------------------------------

class WorkRoad : public WorkRead {
protected:
    ssock* termListener = listener(CONN_TERMINAL, 1);
    pairConn terminal;
    pairConn cashbox;
    state* record = addState(1, STRIDLE);

    void SetUp() override
    {
        accept(terminal, termListener);
        connect(cashbox);
    }
};

TEST_F(WorkRoad, PurchaseGoesToTheTerminalAndItsAnswerBack)
{
    arrive(cashbox, request("<type>0200000000</type><amount>1000</amount><currency>643</currency><kkm>1</kkm>"));
    const std::string sent = terminal.received();
    ASSERT_GE(sent.size(), 6u);
    const std::string body = sent.substr(6);
    EXPECT_EQ(frame(body), sent);
    EXPECT_EQ(0u, body.find(tlv(0x01, "PUR") + tlv(0x02, "01") + "\x03\x0A"));
    const std::string trace = body.substr(11, 10);
    EXPECT_EQ(tlv(0x04, "000000001000") + tlv(0x1B, "643"), body.substr(21));
    EXPECT_EQ(STRPROC, record->uLevel);
    EXPECT_EQ(PUR, record->uOper);
    EXPECT_EQ(1000u, record->uAmount);
    EXPECT_EQ(60000u, terminal.record->timeout);
    EXPECT_EQ("", cashbox.received());

    arrive(terminal, frame(tlv(0x81, "PUR") + tlv(0x9B, "00") + tlv(0x83, trace) + tlv(0x89, "5500000000000004")));
    const std::string answer = cashbox.received();
    EXPECT_EQ(0u, answer.find(DECL + "<mess><code>00</code><type>0210000000</type><cardtype>MASTERCARD</cardtype>"
                                     "<card>5500XXXXXXXX0004</card>"))
        << answer;
    EXPECT_TRUE(contains(answer, "<trace>" + trace + "</trace>"));
    EXPECT_EQ(STRIDLE, record->uLevel);
    EXPECT_EQ(5000u, terminal.record->timeout);
}

TEST_F(WorkRoad, RefusalsOfTheDispatch)
{
    arrive(cashbox, request("<type>0100000000</type><kkm>1</kkm>"));
    EXPECT_EQ(0u, cashbox.received().find(DECL + "<mess><code>2</code><kkm>1</kkm>"));
    EXPECT_TRUE(contains(dir.log(), "ERR: 2 (proc)\n"));

    core.OnClose(terminal.record);
    arrive(cashbox, request("<type>0200200000</type><kkm>1</kkm>"));
    EXPECT_EQ(0u, cashbox.received().find(DECL + "<mess><code>911</code><kkm>1</kkm>"));
    EXPECT_TRUE(contains(dir.log(), "ERR: 3 (proc)\n"));
    EXPECT_EQ(STRIDLE, record->uLevel);
    EXPECT_EQ(REF, record->uOper);
}

TEST_F(WorkRoad, RequestWaitsBehindAPing)
{
    record->uLevel = STRPING;
    terminal.record->setTimeout(5000);
    arrive(cashbox, request("<type>0400000000</type><trace>77</trace><kkm>1</kkm>"));
    EXPECT_EQ("", terminal.received());
    EXPECT_EQ("", cashbox.received());
    EXPECT_GT(terminal.record->getWrLen(), 0);
    EXPECT_EQ(STRPING, record->uLevel);
    EXPECT_EQ(5000u, terminal.record->timeout);
    EXPECT_EQ(77u, record->uTrace);
}

TEST_F(WorkRoad, BusyTerminalAnswers914)
{
    record->uLevel = STRPROC;
    arrive(cashbox, request("<type>0200000000</type><kkm>1</kkm>"));
    EXPECT_EQ(0u, cashbox.received().find(DECL + "<mess><code>914</code><kkm>1</kkm>"));
}

TEST_F(WorkRoad, UnframedTerminalReadIsDropped)
{
    arrive(terminal, "garbage");
    EXPECT_TRUE(contains(dir.log(), "Could not parse answer from port (2): "));
    arrive(terminal, frame("\x01\x05" "A"));
    EXPECT_TRUE(contains(dir.log(), "Could not parse answer from port (1): "));
    EXPECT_EQ(STRIDLE, record->uLevel);
}

} // namespace
