// The real daemon, simulated PIN pads and cash registers over loopback: whole
// operations from the cash register's request to its answer, and the dialogue
// the server runs on its own (start-up, pings, automatic reversal).
#include <memory>

#include "e2e_pinpad.h"

namespace {

const char* VER_REQ = "<type>0600000000</type><kkm>%d</kkm>";

std::string forTerminal(const char* pattern, int n)
{
    char body[128];
    snprintf(body, sizeof body, pattern, n);
    return body;
}

// Waits until terminal n takes requests: a version request that is not refused
// as busy has gone through. True when that happened in time.
bool waitIdle(cashRegister& cash, int n, int ms = 15000)
{
    const long long end = monoMs() + ms;
    while (monoMs() < end) {
        const std::string code = element(cash.exchange(forTerminal(VER_REQ, n)), "code");
        if (code != "914" && !code.empty())
            return true;
        usleep(100000);
    }
    return false;
}

// The daemon with terminal 1, its PIN pad by the given rules, and a cash register
// once the terminal takes requests.
struct oneTerminal {
    e2eServer server;
    pinpadRun pad;
    cashRegister cash;
    bool ready;
    oneTerminal(const std::string& keys, const std::vector<std::string>& rules)
        : server(1, keys), pad(server.run.dir, server.terminalPort(1), rules), cash(server.cashPort),
          ready(server.started && server.connected(1) && waitIdle(cash, 1))
    {
    }
};

class E2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(pinpadBinary().c_str(), X_OK) != 0)
            FAIL() << "the pinpad program is not built: " << pinpadBinary();
    }
};

TEST_F(E2E, CashRegisterOperations)
{
    e2eServer server(3, "pur_timeout 2\n");
    ASSERT_TRUE(server.started);
    pinpadRun pad(server.run.dir, server.terminalPort(1), {"AUT=late:1000"});
    ASSERT_TRUE(server.connected(1));
    cashRegister cash(server.cashPort);
    EXPECT_EQ(0u, cash.greeting.find("EFT-server. "));
    ASSERT_TRUE(waitIdle(cash, 1));

    struct operation {
        const char* name;
        std::string body;
        const char* kind;     // what the PIN pad receives
        const char* trace;    // its trace, "" for a fresh one
        const char* answerType;
    };
    const operation ops[] = {
        {"purchase", "<type>0200000000</type><amount>1000</amount><currency>643</currency><kkm>1</kkm>", "PUR", "",
         "0210000000"},
        {"refund", "<type>0200200000</type><amount>1000</amount><kkm>1</kkm>", "REF", "", "0210200000"},
        {"reversal", "<type>0400000000</type><trace>123456</trace><amount>1000</amount><kkm>1</kkm>", "VOI",
         "0000123456", "0410000000"},
        {"completion", "<type>0200940000</type><trace>777</trace><amount>1000</amount><kkm>1</kkm>", "CMP",
         "0000000777", "0210940000"},
    };
    for (const operation& op : ops) {
        SCOPED_TRACE(op.name);
        const size_t before = pad.lines(std::string("recv ") + op.kind).size();
        const std::string doc = cash.exchange(op.body);
        ASSERT_FALSE(doc.empty());
        EXPECT_EQ("00", element(doc, "code")) << doc;
        EXPECT_EQ(op.answerType, element(doc, "type"));
        EXPECT_EQ("000000001000", element(doc, "amount"));
        EXPECT_EQ("4111XXXXXXXX1111", element(doc, "card"));
        EXPECT_EQ("1", element(doc, "kkm"));
        EXPECT_EQ(12u, element(doc, "rrn").size());
        const std::vector<std::string> recv = pad.lines(std::string("recv ") + op.kind);
        ASSERT_EQ(before + 1, recv.size());
        EXPECT_EQ(element(doc, "trace"), fieldOf(recv.back(), "03"));
        if (*op.trace) {
            EXPECT_EQ(op.trace, fieldOf(recv.back(), "03"));
        }
        EXPECT_EQ("000000001000", fieldOf(recv.back(), "04"));
    }

    // A terminal that was idle and went away, and a number without a terminal:
    // 911. One that never connected is still starting: 914.
    {
        pinpadRun second(server.run.dir, server.terminalPort(2), {});
        ASSERT_TRUE(server.connected(2));
        ASSERT_TRUE(waitIdle(cash, 2));
    }
    ASSERT_TRUE(e2eServer::contains(server.log("Close connect, terminal: 00000002"), "Close connect, terminal: 00000002"));
    const struct {
        int n;
        const char* code;
    } refusals[] = {{2, "911"}, {9, "911"}, {3, "914"}};
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.n);
        const std::string doc = cash.exchange("<type>0200000000</type><amount>5</amount><kkm>" + std::to_string(r.n) + "</kkm>");
        EXPECT_EQ(r.code, element(doc, "code")) << doc;
    }
    EXPECT_TRUE(e2eServer::contains(server.log("ERR: 3 (proc)"), "ERR: 3 (proc)"));
    EXPECT_TRUE(e2eServer::contains(server.log("ERR: cant find state object for cash number 9"),
                                    "ERR: cant find state object for cash number 9"));

    // A second request while the first is at the terminal: 914 at once, and the
    // first one is still answered.
    cash.send("<type>0200930000</type><amount>70</amount><kkm>1</kkm>");
    ASSERT_TRUE(pad.waitLines("recv AUT", 1));
    EXPECT_EQ("914", element(cash.exchange("<type>0200000000</type><amount>5</amount><kkm>1</kkm>"), "code"));
    const std::string late = cash.answer();
    EXPECT_EQ("00", element(late, "code")) << late;
    EXPECT_EQ("0210930000", element(late, "type"));

    // A new connection for the same number closes the old one.
    cashRegister newer(server.cashPort);
    EXPECT_EQ("1", element(newer.exchange(forTerminal(VER_REQ, 1)), "code"));
    EXPECT_TRUE(cash.conn.closedByPeer(5000));
    EXPECT_TRUE(e2eServer::contains(server.log("already connected with socket"), "! Close old connection"));
    EXPECT_EQ("00", element(newer.exchange("<type>0200000000</type><amount>5</amount><kkm>1</kkm>"), "code"));
}

TEST_F(E2E, UnansweredPurchaseIsReversed)
{
    e2eServer server(3, "pur_timeout 1\nvoi_timeout 1\nvoi_repeat 3\n");
    ASSERT_TRUE(server.started);
    struct reversalCase {
        const char* name;
        std::vector<std::string> rules;
        size_t fewest, most; // reversals the PIN pad receives
        std::vector<std::string> codes;
    };
    const reversalCase cases[] = {
        {"never answered", {"PUR=silent", "VOI=silent"}, 4, 4, {"912"}},
        {"second reversal accepted", {"PUR=silent", "VOI=refuse,accept"}, 2, 2, {"912"}},
        // The late approval comes between the first and second reversal and is not
        // delivered; the reversals go on, one of them after the approval.
        {"late answer to the purchase", {"PUR=late:1500", "VOI=silent"}, 4, 5, {"912"}},
    };
    // All three terminals at once, each with its own cash register.
    std::vector<std::unique_ptr<pinpadRun>> pads;
    std::vector<std::unique_ptr<cashRegister>> registers;
    for (int n = 1; n <= 3; ++n) {
        pads.emplace_back(new pinpadRun(server.run.dir, server.terminalPort(n), cases[n - 1].rules));
        ASSERT_TRUE(server.connected(n));
        registers.emplace_back(new cashRegister(server.cashPort));
        ASSERT_TRUE(waitIdle(*registers.back(), n));
    }
    for (int n = 1; n <= 3; ++n)
        registers[n - 1]->send("<type>0200000000</type><amount>2500</amount><kkm>" + std::to_string(n) + "</kkm>");
    for (int n = 1; n <= 3; ++n) {
        const reversalCase& c = cases[n - 1];
        SCOPED_TRACE(c.name);
        std::vector<std::string> codes;
        for (size_t i = 0; i < c.codes.size(); ++i)
            codes.push_back(element(registers[n - 1]->answer(), "code"));
        EXPECT_EQ(c.codes, codes);
        ASSERT_TRUE(pads[n - 1]->waitLines("recv VOI", c.fewest));
        // Idle again once the reversals are over.
        ASSERT_TRUE(waitIdle(*registers[n - 1], n));
        const std::vector<std::string> purchase = pads[n - 1]->lines("recv PUR");
        ASSERT_EQ(1u, purchase.size());
        const std::vector<std::string> reversals = pads[n - 1]->lines("recv VOI");
        EXPECT_LE(c.fewest, reversals.size());
        EXPECT_GE(c.most, reversals.size());
        for (const std::string& r : reversals) {
            EXPECT_EQ(fieldOf(purchase[0], "03"), fieldOf(r, "03"));
            EXPECT_EQ("000000002500", fieldOf(r, "04"));
        }
    }
    EXPECT_TRUE(e2eServer::contains(server.log("ERR: send autoreversal"), "ERR: send autoreversal"));
}

TEST_F(E2E, PingsAndPingTimeout)
{
    e2eServer server(2, "png_period 1\npng_timeout 1\n");
    ASSERT_TRUE(server.started);
    pinpadRun answering(server.run.dir, server.terminalPort(1), {});
    pinpadRun silent(server.run.dir, server.terminalPort(2), {"PNG=silent"});
    ASSERT_TRUE(answering.waitLines("recv PNG", 2, 20000));
    EXPECT_EQ(1u, answering.lines("connect 127").size()); // never dropped
    ASSERT_TRUE(silent.waitLines("closed by server", 1, 20000));
    ASSERT_TRUE(silent.waitLines("connect 127", 2, 20000)); // it comes back
    EXPECT_TRUE(e2eServer::contains(server.log("ERR: PING (OnTimeout), IP: 127.0.0.1"),
                                    "ERR: PING (OnTimeout), IP: 127.0.0.1"));
    // The terminal that lost its connection serves requests again.
    cashRegister cash(server.cashPort);
    EXPECT_TRUE(waitIdle(cash, 2, 20000));
}

TEST_F(E2E, KeyLoadingAndSettlementAtStart)
{
    e2eServer server(1, "loadkeyon 1\nstlstarton 1\nstl_timeout 2\n");
    ASSERT_TRUE(server.started);
    pinpadRun pad(server.run.dir, server.terminalPort(1), {});
    ASSERT_TRUE(server.connected(1));
    cashRegister cash(server.cashPort);
    // The start-up steps take several seconds; a request meanwhile is refused.
    EXPECT_EQ("914", element(cash.exchange("<type>0200000000</type><amount>5</amount><kkm>1</kkm>"), "code"));
    ASSERT_TRUE(pad.waitLines("recv STL", 1, 20000));
    const std::vector<std::string> key = pad.lines("recv FUN");
    ASSERT_EQ(1u, key.size());
    EXPECT_EQ("07", fieldOf(key[0], "0d"));
    EXPECT_LT(pad.log().find("recv FUN"), pad.log().find("recv STL"));
    ASSERT_TRUE(waitIdle(cash, 1, 20000));
    EXPECT_EQ("00", element(cash.exchange("<type>0200000000</type><amount>5</amount><kkm>1</kkm>"), "code"));
    EXPECT_EQ(1u, pad.lines("recv STL").size());
}

// Purchase A times out and is reversed; its approval comes late, while purchase B
// of the same terminal is at the terminal. B's cash register gets B's answer, not
// A's, and B is neither answered twice nor reversed.
TEST_F(E2E, LateAnswerOfAnEarlierPurchaseIsNotTheNextOnesAnswer)
{
    oneTerminal t("pur_timeout 3\nvoi_timeout 1\nvoi_repeat 0\n", {"PUR=late:4500,late:2000", "VOI=accept"});
    ASSERT_TRUE(t.ready);

    EXPECT_EQ("912", element(t.cash.exchange("<type>0200000000</type><amount>1000</amount><kkm>1</kkm>"), "code"));
    ASSERT_TRUE(t.pad.waitLines("send VOI", 1));
    usleep(200000); // the accepted reversal has reached the server
    t.cash.send("<type>0200000000</type><amount>2000</amount><kkm>1</kkm>");
    const std::string doc = t.cash.answer();
    const std::vector<std::string> purchases = t.pad.lines("recv PUR");
    ASSERT_EQ(2u, purchases.size());
    const std::string a = fieldOf(purchases[0], "03");
    const std::string b = fieldOf(purchases[1], "03");
    EXPECT_EQ("00", element(doc, "code")) << doc;
    EXPECT_EQ(b, element(doc, "trace"));
    EXPECT_EQ("000000002000", element(doc, "amount"));
    EXPECT_TRUE(e2eServer::contains(t.server.log("ERR: message of another operation"),
                                    "ERR: message of another operation (type PUR, trace " + a + ") ignored"));
    // Nothing more for B: no second document, and the only reversal is A's.
    EXPECT_EQ("", t.cash.answer(2500));
    const std::vector<std::string> reversals = t.pad.lines("recv VOI");
    ASSERT_EQ(1u, reversals.size());
    EXPECT_EQ(a, fieldOf(reversals[0], "03"));
}

// A message nobody asked for (a kind outside the answer table, or none) comes
// while a purchase is at the terminal: the purchase still gets its own answer.
TEST_F(E2E, UnsolicitedMessageDoesNotEndThePurchase)
{
    oneTerminal t("pur_timeout 3\n", {"PUR=approve/notice:IND@800,approve/notice:-@800"});
    ASSERT_TRUE(t.ready);
    for (const char* notice : {"type IND, trace )", "type , trace )"}) {
        SCOPED_TRACE(notice);
        const std::string doc = t.cash.exchange("<type>0200000000</type><amount>700</amount><kkm>1</kkm>");
        EXPECT_EQ("00", element(doc, "code")) << doc;
        EXPECT_EQ("0210000000", element(doc, "type"));
        EXPECT_EQ(fieldOf(t.pad.lines("recv PUR").back(), "03"), element(doc, "trace"));
        const std::string line = std::string("ERR: unsolicited message (") + notice;
        EXPECT_TRUE(e2eServer::contains(t.server.log(line), line));
    }
    EXPECT_EQ(2u, t.pad.lines("send notice").size());
    EXPECT_TRUE(t.pad.lines("recv VOI").empty());
}

// A request waits behind an outstanding ping; a second request for the same
// terminal is refused as busy, and only the first goes to the terminal.
TEST_F(E2E, RequestWhileAnotherWaitsBehindAPingIsBusy)
{
    e2eServer server(1, "png_period 1\npng_timeout 5\npur_timeout 5\n");
    ASSERT_TRUE(server.started);
    pinpadRun pad(server.run.dir, server.terminalPort(1), {"PNG=late:1500"});
    ASSERT_TRUE(server.connected(1));
    ASSERT_TRUE(pad.waitLines("recv PNG", 1, 20000));
    cashRegister cash(server.cashPort);
    cash.send("<type>0200000000</type><amount>300</amount><kkm>1</kkm>");
    usleep(200000); // its own read
    cash.send("<type>0200200000</type><amount>400</amount><kkm>1</kkm>");
    EXPECT_EQ("914", element(cash.answer(), "code"));
    const std::string doc = cash.answer();
    EXPECT_EQ("00", element(doc, "code")) << doc;
    EXPECT_EQ("0210000000", element(doc, "type"));
    EXPECT_EQ("000000000300", element(doc, "amount"));
    const std::vector<std::string> purchases = pad.lines("recv PUR");
    ASSERT_EQ(1u, purchases.size());
    EXPECT_EQ(fieldOf(purchases[0], "03"), element(doc, "trace"));
    EXPECT_TRUE(pad.lines("recv REF").empty());
}

// The milliseconds at the head of a PIN-pad log line.
long long padTime(const std::string& line) { return atoll(line.c_str()); }

// Two cash-register connections for one number: the second is refused while the
// first one's purchase is at the terminal, and the first gets its own answer.
// A register that connects after the asker hung up gets nothing of it, and the
// undelivered approval is reversed.
TEST_F(E2E, AnswerGoesOnlyToTheConnectionThatAsked)
{
    oneTerminal t("pur_timeout 5\nvoi_timeout 1\n", {"PUR=late:1500", "VOI=accept"});
    ASSERT_TRUE(t.ready);
    cashRegister& first = t.cash;

    first.send("<type>0200000000</type><amount>1100</amount><kkm>1</kkm>");
    ASSERT_TRUE(t.pad.waitLines("recv PUR", 1));
    cashRegister second(t.server.cashPort);
    EXPECT_EQ("914", element(second.exchange("<type>0200000000</type><amount>1200</amount><kkm>1</kkm>"), "code"));
    const std::string doc = first.answer();
    EXPECT_EQ("00", element(doc, "code")) << doc;
    EXPECT_EQ("000000001100", element(doc, "amount"));
    EXPECT_EQ("", second.answer(1000));
    EXPECT_FALSE(first.conn.closedByPeer(100));
    EXPECT_TRUE(t.pad.lines("recv VOI").empty());

    // A register that comes after the asker hung up did not ask.
    ASSERT_TRUE(waitIdle(first, 1));
    first.send("<type>0200000000</type><amount>1300</amount><kkm>1</kkm>");
    ASSERT_TRUE(t.pad.waitLines("recv PUR", 2));
    shutdown(first.conn.fd, SHUT_RDWR); // the asker hangs up
    cashRegister later(t.server.cashPort);
    EXPECT_EQ("914", element(later.exchange("<type>0600000000</type><kkm>1</kkm>"), "code"));
    ASSERT_TRUE(t.pad.waitLines("recv VOI", 1));
    const std::string trace = fieldOf(t.pad.lines("recv PUR").back(), "03");
    EXPECT_EQ(trace, fieldOf(t.pad.lines("recv VOI").back(), "03"));
    EXPECT_EQ("", later.answer(1500));
}

// With voi_repeat 0 the one reversal goes out with the 912, before the late
// approval exists: the approval is not delivered, and a reversal follows it.
TEST_F(E2E, ApprovalAfterThe912IsReversed)
{
    oneTerminal t("pur_timeout 1\nvoi_timeout 1\nvoi_repeat 0\n", {"PUR=late:2500", "VOI=accept"});
    ASSERT_TRUE(t.ready);

    EXPECT_EQ("912", element(t.cash.exchange("<type>0200000000</type><amount>1500</amount><kkm>1</kkm>"), "code"));
    ASSERT_TRUE(t.pad.waitLines("send PUR", 1));
    ASSERT_TRUE(t.pad.waitLines("recv VOI", 2));
    EXPECT_EQ("", t.cash.answer(1500)); // no second document
    const std::string trace = fieldOf(t.pad.lines("recv PUR").at(0), "03");
    const long long approvedAt = padTime(t.pad.lines("send PUR").at(0));
    size_t after = 0;
    for (const std::string& r : t.pad.lines("recv VOI")) {
        EXPECT_EQ(trace, fieldOf(r, "03"));
        if (padTime(r) >= approvedAt)
            ++after;
    }
    EXPECT_GE(after, 1u);
    EXPECT_TRUE(e2eServer::contains(t.server.log("ERR: late answer not delivered"),
                                    "ERR: late answer not delivered (type PUR, trace " + trace + ") (OnRead)"));
}

// A totals reconciliation that the PIN pad leaves unanswered ends with one 912
// after its timeout, not with the register's own timeout.
TEST_F(E2E, UnansweredTotalsAreAnswered912Once)
{
    oneTerminal t("stl_timeout 1\n", {"STL=silent"});
    ASSERT_TRUE(t.ready);
    const long long sent = monoMs();
    const std::string doc = t.cash.exchange("<type>0520000000</type><kkm>1</kkm>", 5000);
    EXPECT_EQ("912", element(doc, "code")) << doc;
    EXPECT_LT(monoMs() - sent, 4000);
    EXPECT_EQ("", t.cash.answer(2000));
    EXPECT_EQ(1u, t.pad.lines("recv STL").size());
    EXPECT_TRUE(t.pad.lines("recv VOI").empty());
}


} // namespace
