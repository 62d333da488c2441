// Card operations as the POS host runs them: the test host with the real plug-in, the
// dorvish daemon and the simulated PIN pad, from the host's call to the result record
// and its slips, and what the PIN pad saw on the way.
#include "rig.h"

namespace {

using e2e::fieldOf;
using e2e::hostResult;
using e2e::jsonValue;
using e2e::rig;
using e2e::runHost;

const char* const APPROVED_PIN = "ОДОБРЕНО С ПИН";
const char* const NO_ANSWER = "Нет ответа от пинпада";

// "yyMMddhhmmss" as the slips show it, "dd.MM.yy hh:mm:ss".
std::string slipDate(const std::string& tdt)
{
    if (tdt.size() != 12)
        return "<bad tdt " + tdt + ">";
    return tdt.substr(4, 2) + "." + tdt.substr(2, 2) + "." + tdt.substr(0, 2) + " " + tdt.substr(6, 2) + ":" +
           tdt.substr(8, 2) + ":" + tdt.substr(10, 2);
}

// The checks every answered operation shares: the slips agree with the record, and
// every slip but the slip number is the same. An error answer of the server (not the
// terminal's) carries no card, trace or date.
void expectSlips(const hostResult& r, size_t count, const std::string& typeName, const std::string& amount,
                 bool fromTerminal = true)
{
    ASSERT_EQ(std::to_string(count), r["printImages"]) << r;
    ASSERT_EQ(count, r.images.size()) << r;
    for (size_t i = 0; i < count; ++i) {
        const std::string& image = r.images[i];
        SCOPED_TRACE(image);
        EXPECT_EQ("vantrel", jsonValue(image, "report"));
        EXPECT_EQ(std::to_string(i + 1), jsonValue(image, "slipnum"));
        EXPECT_EQ(typeName, jsonValue(image, "typename"));
        EXPECT_EQ(amount, jsonValue(image, "amount"));
        EXPECT_EQ(r["message.ui"], jsonValue(image, "resp"));
        if (fromTerminal) {
            EXPECT_EQ(r["rrn"], jsonValue(image, "trace"));
            EXPECT_EQ(r["cardNumber"], jsonValue(image, "card"));
            EXPECT_EQ(slipDate(jsonValue(image, "tdt")), jsonValue(image, "tdttext"));
        } else {
            EXPECT_EQ("<missing>", jsonValue(image, "card"));
            EXPECT_EQ("<missing>", jsonValue(image, "trace"));
            EXPECT_EQ("null", jsonValue(image, "tdt"));
            EXPECT_EQ("", jsonValue(image, "tdttext"));
        }
    }
    if (count == 2) {
        std::string first = r.images[0], second = r.images[1];
        const size_t a = first.find("\"slipnum\""), b = second.find("\"slipnum\"");
        ASSERT_NE(std::string::npos, a);
        ASSERT_NE(std::string::npos, b);
        first.erase(a, first.find_first_of(",}", a) - a);
        second.erase(b, second.find_first_of(",}", b) - b);
        EXPECT_EQ(first, second);
    }
}

class CardOperations : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!settings.writable())
            GTEST_SKIP() << "cannot write " << e2e::pluginSettings::path()
                         << " (the end-to-end tests run as root)";
    }
    e2e::pluginSettings settings;
};

// One register's day: a payment, its cancellation, a refund and the totals, each
// approved by the PIN pad; in the test host and in the layout host, whose serializer has
// qjson's real object layout and ends it with status 3 when the plug-in breaks it.
TEST_F(CardOperations, ApprovedOperationsCarryTheirDataBothWays)
{
    for (const char* host : {TESTHOST_BINARY, LAYOUTHOST_BINARY}) {
        SCOPED_TRACE(host);
        rig r("utf 1\n");
        ASSERT_TRUE(r.started);
        ASSERT_TRUE(r.ready()) << r.log();
        settings.point(r.cashPort, "1");

        const hostResult pay = runHost(r.run.dir, {"payment", "12345"}, 120000, host);
        ASSERT_EQ(0, pay.status) << pay;
        EXPECT_EQ("0", pay["status"]);
        EXPECT_EQ("yes", pay["success"]);
        EXPECT_EQ("0", pay["code"]);
        EXPECT_EQ("undefined", pay["message.id"]);
        EXPECT_EQ(APPROVED_PIN, pay["message.ru"]);
        EXPECT_EQ("VISA", pay["cardType"]);
        EXPECT_EQ("4111XXXXXXXX1111", pay["cardNumber"]);
        // The whole card number stays between the terminal and the server: not in the
        // record, not on the slips.
        EXPECT_EQ(std::string::npos, pay.out.find("4111111111111111")) << pay;
        const std::vector<std::string> purchases = r.pad->received("PUR");
        ASSERT_EQ(1u, purchases.size()) << r.pad->log();
        EXPECT_EQ("000000012345", fieldOf(purchases[0], "04"));
        // The reference number is the trace the terminal echoed, not its own RRN.
        const std::string rrn = fieldOf(purchases[0], "03");
        EXPECT_EQ(rrn, pay["rrn"]);
        expectSlips(pay, 2, "Оплата", "123.45");
        EXPECT_FALSE(jsonValue(pay.images[0], "tdttext").empty());

        // The cancellation names the payment by its reference number: the terminal gets it
        // as the trace of the reversal, with the amount.
        const hostResult cancel = runHost(r.run.dir, {"cancel", "12345", pay["rrn"]}, 120000, host);
        ASSERT_EQ(0, cancel.status) << cancel;
        EXPECT_EQ("0", cancel["code"]);
        const std::vector<std::string> reversals = r.pad->received("VOI");
        ASSERT_EQ(1u, reversals.size()) << r.pad->log();
        EXPECT_EQ(rrn, fieldOf(reversals[0], "03"));
        EXPECT_EQ("000000012345", fieldOf(reversals[0], "04"));
        EXPECT_EQ(rrn, cancel["rrn"]);
        expectSlips(cancel, 2, "Отмена", "123.45");

        const hostResult refund = runHost(r.run.dir, {"refund", "500"}, 120000, host);
        ASSERT_EQ(0, refund.status) << refund;
        EXPECT_EQ("0", refund["code"]);
        const std::vector<std::string> refunds = r.pad->received("REF");
        ASSERT_EQ(1u, refunds.size()) << r.pad->log();
        EXPECT_EQ("000000000500", fieldOf(refunds[0], "04"));
        EXPECT_EQ(fieldOf(refunds[0], "03"), refund["rrn"]);
        EXPECT_NE(rrn, refund["rrn"]);
        expectSlips(refund, 2, "Возврат", "5.00");

        const hostResult totals = runHost(r.run.dir, {"totals"}, 120000, host);
        ASSERT_EQ(0, totals.status) << totals;
        EXPECT_EQ("0", totals["code"]);
        const std::vector<std::string> settlements = r.pad->received("STL");
        ASSERT_EQ(1u, settlements.size()) << r.pad->log();
        EXPECT_EQ("", fieldOf(settlements[0], "04"));
        expectSlips(totals, 1, "Сверка итогов", "0.00");
    }
}

// Operations that fail reach the host as a failed record with the server's code; an
// unanswered payment is reversed behind the host's back, with the payment's trace and
// amount, and only then is the terminal free again.
TEST_F(CardOperations, FailuresReachTheHostWithTheServersCode)
{
    const struct failure {
        const char* name;
        std::vector<std::string> rules;
        const char* kkm;
        const char* code;
        const char* id;
        const char* ru;
        bool fromTerminal; // the answer is the terminal's own, not the server's error answer
        size_t reversals;
        const char* daemonLog;
    } cases[] = {
        {"declined", {"PUR=decline:51"}, "1", "51", "undefined", "DECLINED", true, 0, "(9b)51"},
        {"never answered", {"PUR=silent", "VOI=silent"}, "1", "912", "undefined", NO_ANSWER, false, 2,
         "ERR: send autoreversal"},
        {"register without a terminal", {}, "7", "911", "vantrelPaymentProcessingNoConnection", "Нет соединения", false,
         0, "ERR: cant find state object for cash number 7"},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(c.name);
        rig r("utf 1\npur_timeout 1\nvoi_timeout 1\nvoi_repeat 1\n", c.rules);
        ASSERT_TRUE(r.started);
        ASSERT_TRUE(r.ready()) << r.log();
        settings.point(r.cashPort, c.kkm);

        const hostResult pay = runHost(r.run.dir, {"payment", "2500"});
        EXPECT_EQ(1, pay.status) << pay;
        EXPECT_EQ("1", pay["status"]);
        EXPECT_EQ("no", pay["success"]);
        EXPECT_EQ(c.code, pay["code"]);
        EXPECT_EQ(c.id, pay["message.id"]);
        EXPECT_EQ(c.ru, pay["message.ru"]);
        // A failed payment still has its two slips for the host to print.
        expectSlips(pay, 2, "Оплата", c.fromTerminal ? "25.00" : "0.00", c.fromTerminal);
        EXPECT_TRUE(r.logHas(c.daemonLog)) << r.log();

        const std::vector<std::string> purchases = r.pad->received("PUR");
        ASSERT_EQ(std::string(c.kkm) == "1" ? 1u : 0u, purchases.size()) << r.pad->log();
        if (c.fromTerminal)
            EXPECT_EQ(fieldOf(purchases[0], "03"), pay["rrn"]);
        else
            EXPECT_EQ("", pay["rrn"]);

        ASSERT_TRUE(r.pad->waitReceived("VOI", c.reversals)) << r.pad->log();
        ASSERT_TRUE(r.ready()) << r.log();
        const std::vector<std::string> reversals = r.pad->received("VOI");
        EXPECT_EQ(c.reversals, reversals.size()) << r.pad->log();
        for (const std::string& v : reversals) {
            EXPECT_EQ(fieldOf(purchases[0], "03"), fieldOf(v, "03"));
            EXPECT_EQ("000000002500", fieldOf(v, "04"));
        }
    }
}

// The server's texts reach the plug-in readable only as UTF-8: the answer then comes
// padded with NUL bytes, which the plug-in must stop at. In code page 866 the record is
// complete but its Russian text is not readable.
TEST_F(CardOperations, AnswersInBothCodePages)
{
    const struct codePage {
        const char* utf;
        bool readable;
    } cases[] = {{"1", true}, {"0", false}};
    for (const codePage& c : cases) {
        SCOPED_TRACE(std::string("utf ") + c.utf);
        rig r(std::string("utf ") + c.utf + "\n");
        ASSERT_TRUE(r.started);
        ASSERT_TRUE(r.ready()) << r.log();
        settings.point(r.cashPort, "1");

        const hostResult pay = runHost(r.run.dir, {"payment", "100"});
        ASSERT_EQ(0, pay.status) << pay;
        EXPECT_EQ("0", pay["code"]);
        EXPECT_EQ("4111XXXXXXXX1111", pay["cardNumber"]);
        const std::vector<std::string> purchases = r.pad->received("PUR");
        ASSERT_EQ(1u, purchases.size()) << r.pad->log();
        EXPECT_EQ(fieldOf(purchases[0], "03"), pay["rrn"]);
        expectSlips(pay, 2, "Оплата", "1.00");
        if (c.readable) {
            EXPECT_EQ(APPROVED_PIN, pay["message.ru"]);
        } else {
            EXPECT_NE(APPROVED_PIN, pay["message.ru"]);
            EXPECT_NE(std::string::npos, pay["message.ru"].find("\xEF\xBF\xBD")) << pay["message.ru"];
        }
    }
}

} // namespace
