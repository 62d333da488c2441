// The type codes of cash-register requests, one case per code: a request reaches an
// idle terminal, and the case says which kind the record takes on, where its trace
// number comes from, which timeout is armed and exactly which fields go to the
// terminal. Every timeout differs and the clock differs from every request's trace,
// so a code mapped to the wrong row cannot pass.
#include "dialogue_fixture.h"

namespace {

// The clock of every case: a fresh trace number is 09:05:01.300.
const uint32_t FRESH = 90501300;
// The trace every request carries; only a reversal or a completion takes it.
const uint32_t GIVEN = 4711;

struct row {
    const char* name;
    const char* type;   // text of the type element
    std::string more;   // the other elements besides kkm and trace
    typemess kind;
    const char* kindText;
    uint32_t trace;
    unsigned countdown; // the request's timeout, as distinctTimeouts gives it
    message extra;      // fields beyond kind, ECR number and trace
};

const std::string AMOUNT_FIELD = "000000000500";
const std::string CHAINED_FIELD = std::string("\x01\x00\x00", 3);

const row ROWS[] = {
    {"purchase_with_every_optional_field", "0200000000",
     "<amount>500</amount><invoice>INV-42</invoice><carddataenc>ENC0001</carddataenc><chained>1</chained>"
     "<currency>643</currency>",
     PUR, "PUR", FRESH, 12000,
     {{0x04, AMOUNT_FIELD}, {0x08, CHAINED_FIELD}, {0x1B, "643"}, {0x8B, "INV-42"}, {0xC0, "ENC0001"}}},
    {"reversal_takes_the_given_trace", "0400000000", "<amount>500</amount><chained>0</chained>", VOI, "VOI", GIVEN,
     14000, {{0x04, AMOUNT_FIELD}}},
    {"refund_with_invoice", "0200200000", "<amount>500</amount><invoice>INV-42</invoice>", REF, "REF", FRESH, 13000,
     {{0x04, AMOUNT_FIELD}, {0x8B, "INV-42"}}},
    {"authorisation_with_card_data", "0200930000", "<amount>500</amount><carddataenc>ENC0001</carddataenc>", AUT, "AUT",
     FRESH, 12000, {{0x04, AMOUNT_FIELD}, {0xC0, "ENC0001"}}},
    {"completion_takes_the_given_trace", "0200940000", "<amount>500</amount><chained>1</chained>", CMP, "CMP", GIVEN,
     15000, {{0x04, AMOUNT_FIELD}, {0x08, CHAINED_FIELD}}},
    {"settlement", "0520000000", "", STL, "STL", FRESH, 11000, {}},
    {"version", "0600000000", "<amount>0</amount>", VER, "VER", FRESH, 11000, {}},
    {"diagnostics_ask_for_function_37", "0600100000", "", FUN, "FUN", FRESH, 11000, {{0x0D, "37"}}},
    {"pin", "0700000000", "<currency>643</currency>", PIN, "PIN", FRESH, 12000, {{0x1B, "643"}}},
    // The table's order decides, not the order in the text.
    {"diagnostics_then_purchase_is_a_purchase", "06001000000200000000", "<amount>500</amount>", PUR, "PUR", FRESH,
     12000, {{0x04, AMOUNT_FIELD}}},
    {"pin_then_version_is_a_version", "07000000000600000000", "", VER, "VER", FRESH, 11000, {}},
    {"code_inside_a_longer_run", "00200000000", "<amount>500</amount>", PUR, "PUR", FRESH, 12000,
     {{0x04, AMOUNT_FIELD}}},
};

void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

std::string tenDigits(uint32_t n)
{
    char text[16];
    snprintf(text, sizeof text, "%010u", n);
    return text;
}

class RequestTypes : public dialogueTest, public ::testing::WithParamInterface<row> {};

TEST_P(RequestTypes, SentToAnIdleTerminal)
{
    const row& r = GetParam();
    record->uLevel = STRIDLE;
    record->uVoiCount = 3; // a new request starts its reversal count afresh
    core.at(9, 5, 1, 300, 15);
    terminal.received();

    request(std::string("<type>") + r.type + "</type><kkm>1</kkm><trace>" + std::to_string(GIVEN) + "</trace>" +
            r.more);

    EXPECT_EQ(STRPROC, record->uLevel);
    EXPECT_EQ(r.kind, record->uOper);
    EXPECT_EQ(r.trace, record->uTrace);
    EXPECT_EQ(r.countdown, record->uTimeout);
    EXPECT_EQ(r.countdown, countdown());
    EXPECT_EQ(0u, record->uVoiCount);
    EXPECT_EQ(contains(r.more, "<amount>500<") ? 500u : 0u, record->uAmount);

    message expected = r.extra;
    expected[0x01] = r.kindText;
    expected[0x02] = "01";
    expected[0x03] = tenDigits(r.trace);
    const std::vector<message> sent = messages(terminal.received());
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(expected, sent[0]);
    // The answer comes from the terminal, later.
    EXPECT_TRUE(documents(cashbox.received()).empty());
}

INSTANTIATE_TEST_SUITE_P(Codes, RequestTypes, ::testing::ValuesIn(ROWS),
                         [](const ::testing::TestParamInfo<row>& info) { return std::string(info.param.name); });

class RequestWithoutTrace : public dialogueTest {};

// A reversal without a trace or an amount reverses trace 0 and sends no amount.
TEST_F(RequestWithoutTrace, ReversalSendsTenZeros)
{
    record->uLevel = STRIDLE;
    request("<type>0400000000</type><kkm>1</kkm>");
    EXPECT_EQ(0u, record->uTrace);
    const std::vector<message> sent = messages(terminal.received());
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("0000000000", sent[0].at(0x03));
    EXPECT_EQ(0u, sent[0].count(0x04));
}

} // namespace
