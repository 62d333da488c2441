// Whole stretches of the terminal dialogue, driven step by step: automatic
// reversal, requests queued behind a ping, the daily settlement, trace numbers,
// the internal requests, bad terminal input and connections that come and go.
#include "dialogue_fixture.h"

namespace {

const std::string PUR_OK = tlv(0x81, "PUR") + tlv(0x9B, "00");
const std::string VOI_Y = tlv(0x81, "VOI") + tlv(0x9B, "00") + tlv(0xA1, "Y");
const std::string VOI_N = tlv(0x81, "VOI") + tlv(0x9B, "05") + tlv(0xA1, "N");
const std::string PNG_OK = tlv(0x81, "PNG") + tlv(0x9B, "00");
const std::string STL_OK = tlv(0x81, "STL") + tlv(0x9B, "00");
const std::string PUR_REQ = "<type>0200000000</type><amount>500</amount><kkm>1</kkm>";

std::vector<std::string> codesOf(const std::vector<std::string>& docs)
{
    std::vector<std::string> codes;
    for (const std::string& d : docs)
        codes.push_back(element(d, "code"));
    return codes;
}

class Dialogue : public dialogueTest {
public:
    // A purchase sent from idle; the trace it went out with.
    std::string purchase()
    {
        record->uLevel = STRIDLE;
        request(PUR_REQ);
        const std::vector<message> sent = messages(terminal.received());
        EXPECT_EQ(1u, sent.size());
        return sent.empty() ? "" : sent[0].at(0x03);
    }
    std::vector<std::string> answers() { return documents(cashbox.received()); }
    // Key loading at 11:00:00 and the settlement at 11:00:01, both answered.
    void startUp()
    {
        settings.loadkeyon = 1;
        settings.stlstarton = true;
        apply();
        record->uLevel = STRKEY;
        core.at(11, 0, 0, 0, 15);
        expire(); // key loading
        answer(tlv(0x81, "FUN") + tlv(0x9B, "00"));
        core.at(11, 0, 1, 0, 15);
        expire(); // settlement
        answer(STL_OK);
        terminal.received();
    }
};

// --- automatic reversal --------------------------------------------------------

TEST_F(Dialogue, UnansweredPurchaseIsAnswered912AndReversedRepeatTimesPlusOne)
{
    for (uint32_t repeat : {0u, 2u}) {
        SCOPED_TRACE(repeat);
        settings.voi_repeat = repeat;
        apply();
        const std::string trace = purchase();
        std::vector<message> reversals;
        for (int i = 0; i < 10 && record->uLevel == STRPROC; ++i) {
            expire();
            for (const message& m : messages(terminal.received()))
                reversals.push_back(m);
        }
        EXPECT_EQ(STRIDLE, record->uLevel);
        EXPECT_EQ(1000u, countdown());
        ASSERT_EQ(repeat + 1, reversals.size());
        for (const message& m : reversals) {
            EXPECT_EQ("VOI", m.at(0x01));
            EXPECT_EQ(trace, m.at(0x03));
            EXPECT_EQ("000000000500", m.at(0x04));
        }
        const std::vector<std::string> docs = answers();
        ASSERT_EQ(1u, docs.size());
        EXPECT_EQ("912", element(docs[0], "code"));
    }
}

TEST_F(Dialogue, ReversalsStopEarly)
{
    struct stopCase {
        const char* name;
        std::string answer;
        std::vector<std::string> codes; // what the cash register gets in all
    };
    const stopCase cases[] = {
        {"accepted reversal", VOI_Y, {"912"}},
        {"refused, then accepted", "", {"912"}},
    };
    for (const stopCase& c : cases) {
        SCOPED_TRACE(c.name);
        purchase();
        expire(); // 912 and the first reversal
        if (c.answer.empty()) {
            answer(VOI_N);
            EXPECT_EQ(STRPROC, record->uLevel);
            EXPECT_EQ(1000u, countdown());
            expire(); // the next reversal
            EXPECT_EQ(14000u, countdown());
            answer(VOI_Y);
        } else {
            answer(c.answer);
        }
        EXPECT_EQ(STRIDLE, record->uLevel);
        EXPECT_EQ(5000u, countdown());
        terminal.received();
        expire(); // an idle tick, no further reversal
        EXPECT_EQ("", terminal.received());
        std::vector<std::string> codes;
        for (const std::string& d : answers())
            codes.push_back(element(d, "code"));
        EXPECT_EQ(c.codes, codes);
    }
}

TEST_F(Dialogue, ReversalOrCompletionFromTheCashRegisterIsRepeated)
{
    struct repeatCase {
        const char* name;
        std::string type;
        bool acceptFirstRepetition;
        size_t repetitions;
        std::vector<std::string> codes;
    };
    const repeatCase cases[] = {
        {"reversal accepted on repetition", "0400000000", true, 1, {"00"}},
        {"completion never answered", "0200940000", false, 3, {"912"}},
    };
    for (const repeatCase& c : cases) {
        SCOPED_TRACE(c.name);
        record->uLevel = STRIDLE;
        request("<type>" + c.type + "</type><trace>4242</trace><amount>300</amount><kkm>1</kkm>");
        terminal.received();
        size_t repetitions = 0;
        for (int i = 0; i < 10 && record->uLevel == STRPROC; ++i) {
            expire();
            for (const message& m : messages(terminal.received())) {
                ++repetitions;
                EXPECT_EQ("VOI", m.at(0x01));
                EXPECT_EQ("0000004242", m.at(0x03));
                EXPECT_EQ("000000000300", m.at(0x04));
            }
            if (c.acceptFirstRepetition && repetitions == 1)
                answer(VOI_Y);
        }
        EXPECT_EQ(STRIDLE, record->uLevel);
        EXPECT_EQ(c.repetitions, repetitions);
        std::vector<std::string> codes;
        for (const std::string& d : answers())
            codes.push_back(element(d, "code"));
        EXPECT_EQ(c.codes, codes);
    }
}

// The codec's fields hold whatever terminal spoke last; a reversal must be
// decided by its own terminal's answer.
TEST_F(Dialogue, ReversalIsDecidedByItsOwnTerminal)
{
    ssock* otherListener = listener(CONN_TERMINAL, 2);
    state* other = addState(2);
    other->uLevel = STRIDLE;
    pairConn second;
    accept(second, otherListener);

    struct ownCase {
        const char* name;
        std::string own;   // this terminal's undelivered answer, "" for none
        std::string other; // parsed last, from the other terminal
        uint8_t next;
        bool repeated;
    };
    const ownCase cases[] = {
        {"another terminal's accepted reversal", "", VOI_Y, STRPROC, true},
        {"own accepted answer, then another's refusal", VOI_Y, VOI_N, STRIDLE, false},
    };
    for (const ownCase& c : cases) {
        SCOPED_TRACE(c.name);
        record->uLevel = STRIDLE;
        request("<type>0400000000</type><trace>9</trace><kkm>1</kkm>");
        terminal.received();
        if (!c.own.empty()) {
            workPeer::setAsker(core, record, nullptr, true); // the answer finds no cash register
            answer(c.own);
            EXPECT_EQ(STRPROC, record->uLevel);
        }
        read(second, frame(c.other));
        expire();
        EXPECT_EQ(c.next, record->uLevel);
        EXPECT_EQ(c.repeated, !messages(terminal.received()).empty());
        workPeer::cashboxes(core).del(1u);
        workPeer::cashboxes(core).insert(1, cashbox.record);
        cashbox.received();
    }
}

// An answer that does not reach its cash register is handled as unanswered.
TEST_F(Dialogue, UndeliveredAnswerStillGetsThePurchaseReversed)
{
    struct lossCase {
        const char* name;
        bool hangUp; // else: the write buffer is nearly full
        const char* logLine;
        std::vector<std::string> codes; // what the cash register gets in all
    };
    const lossCase cases[] = {
        {"write buffer full", false, "ERR: can't put answer into socket for kkm 1\n", {"912"}},
        {"cash register gone", true, "ERR: can't find socket for kkm 1\n", {}}, // last: its connection is gone
    };
    for (const lossCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string trace = purchase();
        if (c.hangUp) {
            hangUp(cashbox);
        } else {
            // Room for an error answer, not for the purchase's answer.
            const std::vector<unsigned char> filler(ssock::BUFF_SIZE - 300, 'x');
            ASSERT_NE(0, cashbox.record->setWrBuff(filler.data(), static_cast<unsigned short>(filler.size())));
        }
        answer(PUR_OK + tlv(0x83, trace));
        EXPECT_TRUE(contains(dir.log(), c.logLine));
        EXPECT_EQ(STRPROC, record->uLevel);
        EXPECT_EQ(1000u, countdown());
        expire();
        const std::vector<message> sent = messages(terminal.received());
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ("VOI", sent[0].at(0x01));
        EXPECT_EQ(trace, sent[0].at(0x03));
        EXPECT_TRUE(contains(dir.log(), "ERR: send autoreversal\n"));
        if (!c.hangUp) {
            EXPECT_EQ(c.codes, codesOf(answers()));
        }
    }
}

// A purchase whose reversal is refused runs on as VOI; when the reversals are
// used up its cash register, which had its 912, gets no second one.
TEST_F(Dialogue, RefusedReversalOfAPurchaseBringsNoSecond912)
{
    for (const std::string& type : {std::string("0200000000"), std::string("0200200000"), std::string("0200930000")}) {
        SCOPED_TRACE(type);
        record->uLevel = STRIDLE;
        request("<type>" + type + "</type><amount>500</amount><kkm>1</kkm>");
        const std::string trace = messages(terminal.received()).at(0).at(0x03);
        expire();      // 912 and the first reversal
        answer(VOI_N); // refused: the next one 1000 ms later
        ASSERT_EQ(VOI, record->uOper);
        size_t reversals = 0;
        for (int i = 0; i < 10 && record->uLevel == STRPROC; ++i)
            expire();
        for (const message& m : messages(terminal.received())) {
            EXPECT_EQ(trace, m.at(0x03));
            ++reversals;
        }
        EXPECT_EQ(STRIDLE, record->uLevel);
        EXPECT_EQ(2u, reversals); // voi_repeat 2: the first answer and the second expiry used two counts
        EXPECT_EQ(std::vector<std::string>{"912"}, codesOf(answers()));
    }
}

// Told "failed", a register must not leave a charged card behind: the request's
// own late approval is not delivered, and a reversal reaches the terminal after
// it, also when the one reversal of voi_repeat 0 went out before it or the step
// has ended.
TEST_F(Dialogue, ApprovalAfterThe912IsReversedNotDelivered)
{
    struct lateCase {
        const char* name;
        uint32_t repeat;
        std::string reversalAnswer; // to the reversal sent with the 912, "" for none
        std::string type;
        std::string kind;
        size_t reversalsAfter; // reach the terminal after the approval
        bool pinging = false;  // a ping waits for its answer when the approval comes
    };
    const lateCase cases[] = {
        {"during the reversal", 0, "", "0200000000", "PUR", 1},
        {"after the reversal was refused", 0, VOI_N, "0200200000", "REF", 1},
        {"after the reversal was accepted", 0, VOI_Y, "0200930000", "AUT", 1},
        {"during the reversals, with more to come", 2, "", "0200000000", "PUR", 2},
        {"after the reversals ended: one more, not a new series", 2, VOI_Y, "0200000000", "PUR", 1},
        {"after the reversal was accepted, while a ping waits", 0, VOI_Y, "0200000000", "PUR", 1, true},
    };
    for (const lateCase& c : cases) {
        SCOPED_TRACE(c.name);
        settings.voi_repeat = c.repeat;
        apply();
        record->uLevel = STRIDLE;
        request("<type>" + c.type + "</type><amount>500</amount><kkm>1</kkm>");
        const std::string trace = messages(terminal.received()).at(0).at(0x03);
        expire(); // 912 and the only reversal
        ASSERT_EQ(1u, messages(terminal.received()).size());
        if (!c.reversalAnswer.empty()) {
            answer(c.reversalAnswer + tlv(0x83, trace));
            expire();
            ASSERT_EQ(STRIDLE, record->uLevel); // the step has ended
        }
        if (c.pinging)
            record->uLevel = STRPING;
        answer(tlv(0x81, c.kind) + tlv(0x9B, "00") + tlv(0x83, trace));
        EXPECT_TRUE(contains(dir.log(), "ERR: late answer not delivered (type " + c.kind + ", trace " + trace + ") (OnRead)\n"));
        EXPECT_EQ(STRPROC, record->uLevel);
        for (int i = 0; i < 5 && record->uLevel == STRPROC; ++i)
            expire();
        const std::vector<message> sent = messages(terminal.received());
        ASSERT_EQ(c.reversalsAfter, sent.size());
        for (const message& m : sent) {
            EXPECT_EQ("VOI", m.at(0x01));
            EXPECT_EQ(trace, m.at(0x03));
            EXPECT_EQ("000000000500", m.at(0x04));
        }
        EXPECT_EQ(STRIDLE, record->uLevel);
        EXPECT_EQ(std::vector<std::string>{"912"}, codesOf(answers()));
    }
}

// An approval that comes once the next operation has begun is that one's business.
TEST_F(Dialogue, ApprovalAfterTheNextOperationBeganIsNotReversedAgain)
{
    settings.voi_repeat = 0;
    apply();
    core.at(12, 0, 0, 0, 15);
    const std::string a = purchase();
    expire();
    answer(VOI_Y + tlv(0x83, a));
    terminal.received();
    answers();
    core.at(12, 0, 5, 0, 15);
    record->uLevel = STRIDLE;
    request("<type>0600000000</type><kkm>1</kkm>");
    answer(tlv(0x81, "VER") + tlv(0x9B, "00"));
    terminal.received();
    answer(PUR_OK + tlv(0x83, a));
    EXPECT_EQ(STRIDLE, record->uLevel);
    expire();
    EXPECT_EQ("", terminal.received());
    EXPECT_EQ(std::vector<std::string>{"1"}, codesOf(answers()));
}

// A register's own cancellation or completion is answered once, however its
// repetitions end.
TEST_F(Dialogue, ReversalOrCompletionOfTheRegisterIsAnsweredOnce)
{
    struct onceCase {
        const char* name;
        std::string type;
        std::vector<std::string> repetitionAnswers; // "" leaves one unanswered
        std::string code;
        std::string answerType;
    };
    const onceCase cases[] = {
        {"cancellation done on its repetition", "0400000000", {VOI_Y}, "00", "0410000000"},
        {"cancellation refused to the end", "0400000000", {VOI_N, VOI_N}, "912", ""},
        {"completion undone by its repetition", "0200940000", {VOI_Y}, "912", ""},
        {"completion refused to the end", "0200940000", {VOI_N, VOI_N}, "912", ""},
        {"cancellation never answered", "0400000000", {"", "", ""}, "912", ""},
    };
    settings.voi_repeat = 1;
    apply();
    for (const onceCase& c : cases) {
        SCOPED_TRACE(c.name);
        record->uLevel = STRIDLE;
        request("<type>" + c.type + "</type><trace>4242</trace><amount>300</amount><kkm>1</kkm>");
        terminal.received();
        for (const std::string& a : c.repetitionAnswers) {
            expire(); // a repetition
            if (record->uLevel != STRPROC)
                break;
            if (!a.empty())
                answer(a + tlv(0x83, "0000004242"));
        }
        for (int i = 0; i < 5 && record->uLevel == STRPROC; ++i)
            expire();
        EXPECT_EQ(STRIDLE, record->uLevel);
        const std::vector<std::string> docs = answers();
        ASSERT_EQ(1u, docs.size());
        EXPECT_EQ(c.code, element(docs[0], "code"));
        EXPECT_EQ(c.answerType, element(docs[0], "type"));
        expire();
        expire();
        EXPECT_TRUE(answers().empty());
        terminal.received();
    }
}

// The terminal went away under a request: its register hears 912 at the
// request's own deadline, once; a purchase is still reversed when the terminal
// is back, and its late approval then is not delivered.
TEST_F(Dialogue, RequestOfALostTerminalIsAnsweredAtItsDeadline)
{
    struct lostCase {
        const char* name;
        std::string type;
        bool comesBack;
        bool approvesOnReturn;
    };
    const lostCase cases[] = {
        {"totals, never back", "0520000000", false, false},
        {"purchase, back after the deadline", "0200000000", true, false},
        {"purchase, back and approving after the deadline", "0200000000", true, true},
    };
    for (const lostCase& c : cases) {
        SCOPED_TRACE(c.name);
        pairConn conn;
        accept(conn, termListener);
        record->uLevel = STRIDLE;
        request("<type>" + c.type + "</type><amount>500</amount><kkm>1</kkm>");
        const std::string trace = messages(conn.received()).at(0).at(0x03);
        const unsigned timeout = c.type == "0520000000" ? 11000u : 12000u;
        core.mono += 4000;
        hangUp(conn);
        EXPECT_TRUE(answers().empty());
        EXPECT_EQ(timeout - 4000, cashbox.record->timeout); // what is left of its own timeout
        core.mono += timeout - 4000;
        expire(cashbox);
        EXPECT_EQ(std::vector<std::string>{"912"}, codesOf(answers()));
        EXPECT_TRUE(contains(dir.log(), "ERR: No answer from pinpad\n"));
        EXPECT_EQ(0u, cashbox.record->timeout);
        expire(cashbox); // a stray expiry answers nothing more
        EXPECT_TRUE(answers().empty());
        if (c.comesBack) {
            pairConn again;
            accept(again, termListener);
            if (c.approvesOnReturn)
                read(again, frame(PUR_OK + tlv(0x83, trace)));
            expire(again);
            const std::vector<message> sent = messages(again.received());
            ASSERT_EQ(1u, sent.size());
            EXPECT_EQ("VOI", sent[0].at(0x01));
            EXPECT_EQ(trace, sent[0].at(0x03));
            answer(VOI_Y);
            read(again, frame(VOI_Y + tlv(0x83, trace)));
            EXPECT_EQ(STRIDLE, record->uLevel);
            EXPECT_TRUE(answers().empty());
            hangUp(again);
        } else {
            EXPECT_EQ(STRPROC, record->uLevel);
        }
    }
}

// The answer that comes before the deadline is the answer; the deadline then is idle.
TEST_F(Dialogue, LostTerminalThatAnswersInTimeIsDelivered)
{
    const std::string trace = purchase();
    hangUp(terminal);
    pairConn again;
    accept(again, termListener);
    read(again, frame(PUR_OK + tlv(0x83, trace)));
    EXPECT_EQ(std::vector<std::string>{"00"}, codesOf(answers()));
    EXPECT_EQ(0u, cashbox.record->timeout);
    expire(again);
    EXPECT_EQ("", again.received());
}

// A ping carries no trace and a fresh record's trace is 0: neither is evidence
// that a message belongs to another operation.
TEST_F(Dialogue, OnlyTracesThatWereSentAreEvidence)
{
    record->uLevel = STRIDLE;
    record->uIdle = 29000;
    expire(); // a ping from a fresh record
    answer(PNG_OK);
    EXPECT_TRUE(workPeer::traces(core, record).empty());
    record->uLevel = STRIDLE;
    request("<type>0400000000</type><kkm>1</kkm>"); // a cancellation without a trace goes as zeros
    EXPECT_TRUE(workPeer::traces(core, record).empty());
    answer(VOI_Y + tlv(0x83, "0000000000"));
    EXPECT_EQ(std::vector<std::string>{"00"}, codesOf(answers()));
    terminal.received();
    // A terminal that writes its traces as zeros still has its answers taken.
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        core.at(12, 0, i, 0, 15);
        purchase();
        answer(PUR_OK + tlv(0x83, "0000000000"));
        EXPECT_EQ(std::vector<std::string>{"00"}, codesOf(answers()));
    }
}

// Key loading, settlement and reversals are remembered like requests, so their
// late answers are known as another operation's.
TEST_F(Dialogue, InternalRequestsAreRemembered)
{
    startUp();
    EXPECT_EQ((std::vector<uint32_t>{110000000u, 110001000u}), workPeer::traces(core, record));
    core.at(11, 0, 2, 0, 15);
    purchase();
    answer(tlv(0x81, "FUN") + tlv(0x9B, "00") + tlv(0x83, "0110000000"));
    EXPECT_TRUE(contains(dir.log(), "ERR: message of another operation (type FUN, trace 0110000000) ignored (OnRead)\n"));
    EXPECT_EQ(STRPROC, record->uLevel);
}

// A foreign message, even an accepted reversal, never counts as this one's
// accepted reversal: the register's cancellation is repeated and answered.
TEST_F(Dialogue, ForeignAcceptedReversalSetsNoMark)
{
    record->uLevel = STRIDLE;
    workPeer::remember(core, record, 77);
    request("<type>0400000000</type><trace>4242</trace><kkm>1</kkm>");
    terminal.received();
    answer(VOI_Y + tlv(0x83, "0000000077"));
    EXPECT_EQ(STRPROC, record->uLevel);
    expire();
    const std::vector<message> sent = messages(terminal.received());
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("0000004242", sent[0].at(0x03));
    EXPECT_TRUE(answers().empty());
}

// --- messages of other operations -------------------------------------------------

// Purchase A timed out and was reversed; purchase B is at the terminal when a
// message of another operation arrives. B still gets its own answer, or its 912
// and reversals on time, and no one gets A's result.
TEST_F(Dialogue, AnotherOperationsMessageLeavesTheOutstandingRequestAlone)
{
    struct strayCase {
        const char* name;
        std::string (*message)(const std::string& earlierTrace);
    };
    const strayCase strays[] = {
        {"late approval of A", [](const std::string& a) { return PUR_OK + tlv(0x83, a); }},
        {"late reversal answer of A", [](const std::string& a) { return VOI_Y + tlv(0x83, a); }},
        {"late settlement answer", [](const std::string&) { return STL_OK; }},
        {"unsolicited message", [](const std::string&) { return tlv(0x81, "IND") + tlv(0x9B, "00"); }},
        {"message without a kind", [](const std::string& a) { return tlv(0x9B, "00") + tlv(0x83, a); }},
    };
    for (const strayCase& stray : strays) {
        for (bool answered : {true, false}) {
            SCOPED_TRACE(std::string(stray.name) + (answered ? ", B answered" : ", B unanswered"));
            core.at(12, 0, 0, 0, 15);
            const std::string a = purchase();
            expire();
            answer(VOI_Y + tlv(0x83, a));
            ASSERT_EQ(STRIDLE, record->uLevel);
            ASSERT_EQ(std::vector<std::string>{"912"}, codesOf(answers()));
            terminal.received();

            core.at(12, 0, 5, 0, 15);
            const std::string b = purchase();
            ASSERT_NE(a, b);
            answer(stray.message(a));
            EXPECT_EQ(STRPROC, record->uLevel);
            EXPECT_EQ(12000u, countdown());
            EXPECT_EQ(0u, record->uVoiCount);
            EXPECT_TRUE(answers().empty());
            EXPECT_TRUE(contains(dir.log(), " ignored (OnRead)\n"));

            if (answered) {
                answer(PUR_OK + tlv(0x83, b) + tlv(0x84, "000000000500"));
                const std::vector<std::string> docs = answers();
                ASSERT_EQ(1u, docs.size());
                EXPECT_EQ("00", element(docs[0], "code"));
                EXPECT_EQ(b, element(docs[0], "trace"));
                EXPECT_EQ(STRIDLE, record->uLevel);
            } else {
                expire();
                EXPECT_EQ(std::vector<std::string>{"912"}, codesOf(answers()));
                const std::vector<message> sent = messages(terminal.received());
                ASSERT_EQ(1u, sent.size());
                EXPECT_EQ("VOI", sent[0].at(0x01));
                EXPECT_EQ(b, sent[0].at(0x03));
                answer(VOI_Y + tlv(0x83, b));
                EXPECT_EQ(STRIDLE, record->uLevel);
            }
            terminal.received();
        }
    }
}

// An earlier operation's accepted reversal does not end the reversals of the
// request at the terminal; its own accepted reversal does.
TEST_F(Dialogue, OnlyItsOwnAcceptedReversalEndsTheReversals)
{
    core.at(12, 0, 0, 0, 15);
    const std::string a = purchase();
    expire();
    answer(VOI_Y + tlv(0x83, a));
    terminal.received();
    core.at(12, 0, 5, 0, 15);
    const std::string b = purchase();
    expire(); // B's 912 and first reversal
    terminal.received();
    answer(VOI_Y + tlv(0x83, a));
    EXPECT_EQ(STRPROC, record->uLevel);
    EXPECT_EQ(14000u, countdown());
    EXPECT_EQ(1u, record->uVoiCount);
    expire();
    const std::vector<message> sent = messages(terminal.received());
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(b, sent[0].at(0x03));
    answer(VOI_Y + tlv(0x83, b));
    EXPECT_EQ(STRIDLE, record->uLevel);
    EXPECT_EQ(5000u, countdown());
    EXPECT_EQ((std::vector<std::string>{"912", "912"}), codesOf(answers())); // one for A, one for B
}

// The record remembers its last few traces, the outstanding one among them.
TEST_F(Dialogue, TracesOfTheLastOperationsAreRemembered)
{
    startUp();
    std::vector<uint32_t> expected = {110000000u, 110001000u};
    const size_t kept = workPeer::tracesKept();
    for (size_t i = 0; i < kept; ++i) {
        const unsigned minute = static_cast<unsigned>(i / 60), second = static_cast<unsigned>(i % 60);
        core.at(12, minute, second, 0, 15);
        purchase();
        answer(PUR_OK);
        expected.push_back(120000000u + minute * 100000u + second * 1000u);
    }
    expected.erase(expected.begin(), expected.end() - static_cast<std::ptrdiff_t>(kept));
    EXPECT_EQ(expected, workPeer::traces(core, record));
    // A repeated trace is not kept twice.
    record->uLevel = STRIDLE;
    request("<type>0400000000</type><trace>120003000</trace><kkm>1</kkm>");
    answer(VOI_Y);
    std::vector<uint32_t> again = expected;
    again.erase(again.begin() + 3);
    again.push_back(120003000u);
    EXPECT_EQ(again, workPeer::traces(core, record));
}

// While a request of number 1 owes its answer, another connection's request for
// 1 is refused on that connection; the answer, or the 912, goes only to the
// connection that asked, never to one that came later.
TEST_F(Dialogue, AnswerGoesOnlyToTheConnectionThatAsked)
{
    struct askCase {
        const char* name;
        bool queued;      // the request waits behind a ping
        bool askerLeaves; // the asking register hangs up before the answer
        bool answered;    // the terminal answers; else the request times out
    };
    const askCase cases[] = {
        {"answered, asker stays", false, false, true},
        {"unanswered, asker stays", false, false, false},
        {"queued behind a ping, asker stays", true, false, true},
        {"answered after the asker left", false, true, true},
        {"unanswered after the asker left", false, true, false},
    };
    for (const askCase& c : cases) {
        SCOPED_TRACE(c.name);
        pairConn asking, later;
        accept(asking, cashListener);
        accept(later, cashListener);
        asking.received();
        later.received();
        record->uLevel = c.queued ? STRPING : STRIDLE;
        record->uVoiCount = 0;
        request(PUR_REQ, asking);
        if (c.askerLeaves)
            hangUp(asking);
        request(PUR_REQ, later);
        EXPECT_EQ(std::vector<std::string>{"914"}, codesOf(documents(later.received())));
        EXPECT_FALSE(later.peerClosed());
        if (!c.askerLeaves) {
            EXPECT_EQ(asking.record, workPeer::cashboxes(core).get(1u));
            EXPECT_FALSE(asking.peerClosed());
        }
        if (c.queued) {
            answer(PNG_OK);
            expire(); // the queued purchase goes out
        }
        const std::string trace = messages(terminal.received()).at(0).at(0x03);
        if (c.answered)
            answer(PUR_OK + tlv(0x83, trace));
        else
            expire();
        std::vector<std::string> toAsker;
        if (!c.askerLeaves)
            toAsker = codesOf(documents(asking.received()));
        EXPECT_TRUE(documents(later.received()).empty());
        EXPECT_TRUE(documents(cashbox.received()).empty());
        if (c.askerLeaves) {
            if (c.answered) {
                EXPECT_EQ(STRPROC, record->uLevel);
                expire(); // undelivered: reversed
            }
            const std::vector<message> sent = messages(terminal.received());
            ASSERT_EQ(1u, sent.size());
            EXPECT_EQ("VOI", sent[0].at(0x01));
            EXPECT_EQ(trace, sent[0].at(0x03));
            EXPECT_TRUE(documents(later.received()).empty());
        } else {
            EXPECT_EQ(std::vector<std::string>{c.answered ? "00" : "912"}, toAsker);
        }
        // Done with: the next register's request replaces the registration.
        record->uLevel = STRIDLE;
        request("<type>0600000000</type><kkm>1</kkm>", later);
        EXPECT_EQ(later.record, workPeer::cashboxes(core).get(1u));
        answer(tlv(0x81, "VER") + tlv(0x9B, "00"));
        EXPECT_EQ(std::vector<std::string>{"1"}, codesOf(documents(later.received())));
        terminal.received();
        hangUp(later);
        if (!c.askerLeaves)
            hangUp(asking);
    }
}

TEST_F(Dialogue, ReplacedCashRegisterLeavesNoEntryUnderAnyNumber)
{
    addState(2)->uLevel = STRNEW;
    pairConn a, b;
    accept(a, cashListener);
    accept(b, cashListener);
    request("<kkm>2</kkm>", a);
    request("<kkm>1</kkm>", a);
    ASSERT_EQ(a.record, workPeer::cashboxes(core).get(2u));
    request("<kkm>1</kkm>", b);
    EXPECT_EQ(b.record, workPeer::cashboxes(core).get(1u));
    EXPECT_EQ(0u, workPeer::cashboxes(core).get(a.record));
    EXPECT_FALSE(workPeer::cashboxes(core).has(2u));
}

// --- requests behind a ping ------------------------------------------------------

TEST_F(Dialogue, RequestQueuedBehindAPingGoesOutAfterItsAnswer)
{
    record->uLevel = STRIDLE;
    record->uIdle = 29000;
    expire();
    ASSERT_EQ(STRPING, record->uLevel);
    EXPECT_EQ("PNG", messages(terminal.received()).at(0).at(0x01));
    request(PUR_REQ);
    EXPECT_EQ("", terminal.received());
    answer(PNG_OK);
    EXPECT_EQ(STRIDLE, record->uLevel);
    EXPECT_EQ(5000u, countdown());
    expire();
    EXPECT_EQ(STRPROC, record->uLevel);
    EXPECT_EQ(12000u, countdown());
    EXPECT_EQ("PUR", messages(terminal.received()).at(0).at(0x01));
    answer(PUR_OK);
    const std::vector<std::string> docs = answers();
    ASSERT_EQ(1u, docs.size());
    EXPECT_EQ("00", element(docs[0], "code"));
}

// While a request waits behind a ping, before or after the ping's answer, a
// further request is refused as busy: one operation at the terminal at a time,
// and the waiting one goes out alone and gets its answer.
TEST_F(Dialogue, RequestWhileAnotherWaitsBehindAPingIsBusy)
{
    for (bool pingAnswered : {false, true}) {
        SCOPED_TRACE(pingAnswered ? "after the ping's answer" : "before the ping's answer");
        core.at(12, 0, 0, 0, 15);
        record->uLevel = STRPING;
        request("<type>0200000000</type><amount>100</amount><kkm>1</kkm>");
        if (pingAnswered)
            answer(PNG_OK);
        core.at(12, 0, 1, 0, 15);
        request("<type>0200200000</type><amount>200</amount><kkm>1</kkm>");
        EXPECT_EQ(std::vector<std::string>{"914"}, codesOf(answers()));
        EXPECT_EQ(pingAnswered ? STRIDLE : STRPING, record->uLevel);
        EXPECT_EQ(PUR, record->uOper);
        EXPECT_EQ(100u, record->uAmount);
        EXPECT_EQ(120000000u, record->uTrace);
        EXPECT_EQ("", terminal.received());
        if (!pingAnswered)
            answer(PNG_OK);
        expire();
        EXPECT_EQ(STRPROC, record->uLevel);
        const std::vector<message> sent = messages(terminal.received());
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ("PUR", sent[0].at(0x01));
        answer(PUR_OK + tlv(0x83, sent[0].at(0x03)));
        const std::vector<std::string> docs = answers();
        ASSERT_EQ(1u, docs.size());
        EXPECT_EQ("00", element(docs[0], "code"));
        EXPECT_EQ(sent[0].at(0x03), element(docs[0], "trace"));
        expire();
        expire();
        EXPECT_TRUE(answers().empty());
        EXPECT_EQ("", terminal.received());
    }
}

// Delivery traces its steps at a high log level. (An answer kind without a
// document never gets this far: it is nobody's answer.)
TEST_F(Dialogue, DeliveryIsLogged)
{
    workPeer::setLoglevel(core, 7);
    purchase();
    answer(PUR_OK);
    EXPECT_EQ(1u, answers().size());
    const std::string log = dir.log();
    const size_t xml = log.find("INF1: createXml (OnRead)");
    ASSERT_NE(std::string::npos, xml);
    const size_t doc = log.find("ResponseXML=", xml);
    ASSERT_NE(std::string::npos, doc);
    EXPECT_NE(std::string::npos, log.find("INF1: write(sockTemp) (OnRead)", doc));
    EXPECT_EQ(STRIDLE, record->uLevel);
}

// A queued request that never reaches the terminal gets 912 at once, and
// nothing is reversed for it.
TEST_F(Dialogue, QueuedRequestThatIsLostIsAnswered912)
{
    struct lossCase {
        const char* name;
        std::function<void(Dialogue&, pairConn&)> lose;
        uint8_t next;
    };
    const lossCase cases[] = {
        {"ping unanswered", [](Dialogue& t, pairConn& conn) { t.expire(conn); }, STRIDLE},
        {"terminal hangs up", [](Dialogue& t, pairConn& conn) { t.hangUp(conn); }, STRPING},
        {"terminal connects again",
         [](Dialogue& t, pairConn&) {
             pairConn again;
             t.accept(again, t.termListener);
             // Before any tick: the frame on the replaced connection never goes out.
             EXPECT_EQ(std::vector<std::string>{"912"}, codesOf(documents(t.cashbox.received())));
             t.expire(again); // the new connection knows no ping: dropped
         },
         STRIDLE},
    };
    for (const lossCase& c : cases) {
        SCOPED_TRACE(c.name);
        pairConn conn; // the terminal's connection for this case
        accept(conn, termListener);
        record->uLevel = STRPING;
        request(PUR_REQ);
        ASSERT_TRUE(answers().empty());
        c.lose(*this, conn);
        EXPECT_EQ(c.next, record->uLevel);
        const std::vector<std::string> docs = answers();
        if (std::string(c.name) != "terminal connects again") { // read inside, before the tick
            ASSERT_EQ(1u, docs.size());
            EXPECT_EQ("912", element(docs[0], "code"));
        } else {
            EXPECT_TRUE(docs.empty());
        }
        // Later ticks reverse nothing and answer nothing more.
        pairConn fresh;
        accept(fresh, termListener);
        record->uLevel = STRIDLE;
        expire(fresh);
        expire(fresh);
        EXPECT_EQ("", fresh.received());
        EXPECT_TRUE(answers().empty());
    }
}

TEST_F(Dialogue, QueuedRequestThatDoesNotFitIsAnswered912)
{
    record->uLevel = STRPING;
    const std::vector<unsigned char> filler(ssock::BUFF_SIZE - 20, 'x');
    ASSERT_NE(0, terminal.record->setWrBuff(filler.data(), static_cast<unsigned short>(filler.size())));
    request(PUR_REQ);
    const std::vector<std::string> docs = answers();
    ASSERT_EQ(1u, docs.size());
    EXPECT_EQ("912", element(docs[0], "code"));
    EXPECT_EQ(STRPING, record->uLevel);
    answer(PNG_OK);
    terminal.record->buffWrCl();
    expire();
    EXPECT_EQ(STRIDLE, record->uLevel); // nothing went out, nothing outstanding
    EXPECT_TRUE(answers().empty());
}

// --- daily settlement ------------------------------------------------------------

TEST_F(Dialogue, DailySettlementCheck)
{
    struct checkCase {
        const char* name;
        bool on;
        int hour, minute;
        bool done;
        uint8_t lastDay;
        uint32_t idle;
        uint8_t next;
        bool doneAfter;
    };
    const checkCase cases[] = {
        {"before the time clears done", true, 22, 59, true, 15, 0, STRIDLE, false},
        {"after midnight clears done", true, 0, 10, true, 15, 0, STRIDLE, false},
        {"at the time, not done", true, 23, 0, false, 0, 0, STRSTL, false},
        {"done today", true, 23, 30, true, 15, 0, STRIDLE, true},
        {"done on another day", true, 23, 30, true, 14, 0, STRSTL, false},
        {"switched off", false, 23, 30, false, 0, 0, STRIDLE, false},
        {"a ping comes first", true, 23, 30, false, 0, 29000, STRPING, false},
    };
    for (const checkCase& c : cases) {
        SCOPED_TRACE(c.name);
        settings.stltimeon = c.on;
        settings.stlHour = 23;
        settings.stlMin = 0;
        apply();
        core.at(c.hour, c.minute, 0, 0, 15);
        record->uLevel = STRIDLE;
        record->bStlDone = c.done;
        record->uStlDay = c.lastDay;
        record->uIdle = c.idle;
        expire();
        EXPECT_EQ(c.next, record->uLevel);
        EXPECT_EQ(c.doneAfter, record->bStlDone);
        terminal.received();
    }
}

TEST_F(Dialogue, StartUpSettlementCountsForTheDayOnlyAfterTheTime)
{
    struct startCase {
        const char* name;
        int settledAt;
        uint8_t afterTwentyThree;
    };
    const startCase cases[] = {{"settled at 23:10", 23, STRIDLE}, {"settled at 22:00", 22, STRSTL}};
    for (const startCase& c : cases) {
        SCOPED_TRACE(c.name);
        settings.stltimeon = true;
        settings.stlHour = 23;
        apply();
        record->uLevel = STRSTL;
        core.at(c.settledAt, c.settledAt == 23 ? 10 : 0, 0, 0, 15);
        answer(tlv(0x81, "STL") + tlv(0x9B, "00"));
        ASSERT_EQ(STRIDLE, record->uLevel);
        if (c.settledAt < 23) {
            core.at(22, 30, 0, 0, 15);
            expire();
        }
        core.at(23, 20, 0, 0, 15);
        expire();
        EXPECT_EQ(c.afterTwentyThree, record->uLevel);
    }
}

// --- trace numbers and the internal requests -----------------------------------------

TEST_F(Dialogue, TraceNumbersFromTheLocalTime)
{
    struct traceCase {
        int h, m, s;
        unsigned ms;
        uint32_t trace;
        const char* logged;
    };
    const traceCase cases[] = {
        {9, 5, 1, 300, 90501300u, "getTraceTime: 090501\n"},
        {23, 59, 59, 999, 235959999u, "getTraceTime: 235959\n"},
        {0, 0, 0, 7, 7u, "getTraceTime: 000000\n"},
    };
    for (const traceCase& c : cases) {
        SCOPED_TRACE(c.trace);
        core.at(c.h, c.m, c.s, c.ms, 15);
        EXPECT_EQ(c.trace, core.getTrace());
        EXPECT_TRUE(contains(dir.log(), c.logged));
    }
    core.at(9, 5, 1, 300, 15);
    EXPECT_EQ("0090501300", purchase());
}

TEST_F(Dialogue, InternalRequests)
{
    core.at(9, 5, 1, 300, 15);
    state far(107);
    far.uTrace = 55;
    far.uAmount = 0;
    struct builderCase {
        const char* name;
        std::function<void(std::vector<unsigned char>&)> build;
        std::string bytes;
    };
    const std::string TRACE = "0090501300";
    const builderCase cases[] = {
        {"key loading", [&](std::vector<unsigned char>& v) { core.doLoadKey(&far, v); },
         tlv(0x01, "FUN") + tlv(0x02, "07") + tlv(0x03, TRACE) + tlv(0x0D, "07")},
        {"settlement", [&](std::vector<unsigned char>& v) { core.doStl(&far, v); },
         tlv(0x01, "STL") + tlv(0x02, "07") + tlv(0x03, TRACE)},
        {"ping", [&](std::vector<unsigned char>& v) { core.doPng(105, v); }, tlv(0x01, "PNG") + tlv(0x02, "05")},
        {"reversal with amount 0",
         [&](std::vector<unsigned char>& v) {
             far.uTrace = 55;
             core.doVoi(&far, v);
         },
         tlv(0x01, "VOI") + tlv(0x02, "07") + tlv(0x03, "0000000055") + tlv(0x04, "000000000000")},
    };
    for (const builderCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> out;
        c.build(out);
        EXPECT_EQ(c.bytes, std::string(out.begin(), out.end()));
    }
    EXPECT_EQ(55u, far.uTrace); // a reversal keeps the trace it reverses
}

// --- bad terminal input and stray connections -----------------------------------------

TEST_F(Dialogue, UnreadableAnswerLeavesThePurchaseToTimeOut)
{
    const std::string good = frame(PUR_OK);
    std::string wrongOuter = good;
    wrongOuter[1] = static_cast<char>(wrongOuter[1] + 1);
    std::string wrongInner = good;
    wrongInner[5] = static_cast<char>(wrongInner[5] - 1);
    struct badCase {
        const char* name;
        std::vector<std::string> reads;
    };
    const badCase cases[] = {
        {"split over two reads", {good.substr(0, 5), good.substr(5)}},
        {"two frames in one read", {good + good}},
        {"outer length wrong", {wrongOuter}},
        {"inner length wrong", {wrongInner}},
        {"garbage", {"GARBAGE!\r\n"}},
        {"TLV ends inside a value", {frame(std::string("\x81\x05\x50", 3))}},
    };
    for (const badCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string trace = purchase();
        terminal.record->setTimeout(KEPT);
        for (const std::string& r : c.reads)
            read(terminal, r);
        EXPECT_EQ(STRPROC, record->uLevel);
        EXPECT_EQ(KEPT, countdown());
        EXPECT_TRUE(answers().empty());
        expire();
        EXPECT_EQ("912", element(cashbox.received(), "code"));
        const std::vector<message> sent = messages(terminal.received());
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(trace, sent[0].at(0x03));
        record->uVoiCount = 0;
    }
    EXPECT_TRUE(contains(dir.log(), "Could not parse answer from port (2): "));
    EXPECT_TRUE(contains(dir.log(), "Could not parse answer from port (1): "));
}

TEST_F(Dialogue, StrayTerminalConnectionsAreDropped)
{
    ssock* unconfigured = listener(CONN_TERMINAL, 3); // a listener without a record
    struct strayCase {
        const char* name;
        bool replaced; // else: on the number without a record
        bool byCountdown;
        const char* logLine;
    };
    const strayCase cases[] = {
        {"countdown of a replaced connection", true, true, "ERR: 1 (OnTimeout), IP: 127.0.0.1\n"},
        {"countdown without a record", false, true, "ERR: 2 (OnTimeout), IP: 127.0.0.1\n"},
        {"message on a replaced connection", true, false, "ERR: socket has no cashbox number\n"},
        {"message without a record", false, false, "ERR: not found state for pinpad\n"},
    };
    for (const strayCase& c : cases) {
        SCOPED_TRACE(c.name);
        record->uLevel = STRIDLE;
        pairConn stray, newer;
        accept(stray, c.replaced ? termListener : unconfigured);
        if (c.replaced)
            accept(newer, termListener);
        if (c.byCountdown)
            expire(stray);
        else
            read(stray, frame(PUR_OK));
        EXPECT_TRUE(contains(dir.log(), c.logLine));
        stray.received();
        EXPECT_TRUE(stray.peerClosed());
        EXPECT_EQ(0u, workPeer::terminals(core).get(stray.record));
        if (c.replaced) {
            EXPECT_EQ(newer.record, workPeer::terminals(core).get(1u));
        }
        EXPECT_EQ(STRIDLE, record->uLevel);
    }
    core.OnTimeout(nullptr);
    EXPECT_TRUE(contains(dir.log(), "ERR: arSocket == NULL (OnTimeout)\n"));
}

TEST_F(Dialogue, ReconnectWhileARequestIsOutstanding)
{
    const std::string trace = purchase();
    hangUp(terminal);
    pairConn again;
    accept(again, termListener);
    EXPECT_EQ(20000u, again.record->timeout);
    expire(again);
    EXPECT_EQ("912", element(cashbox.received(), "code"));
    const std::vector<message> sent = messages(again.received());
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("VOI", sent[0].at(0x01));
    EXPECT_EQ(trace, sent[0].at(0x03));
}

} // namespace
