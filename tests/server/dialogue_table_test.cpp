// The terminal record's state machine, one case per transition: a level, one
// event (countdown expiry, terminal answer, cash-register request) and what must
// follow: the next level, the countdown armed, what went to the terminal and
// what went to the cash register.
#include <functional>

#include "dialogue_fixture.h"

namespace {

enum eventKind { EXPIRY, ANSWER, REQUEST };

typedef std::function<void(dialogueTest&)> setup;
typedef std::function<void(dialogueTest&, const std::vector<message>&)> probe;

struct row {
    const char* name;
    uint8_t level;
    eventKind on;
    setup given;        // settings and record fields before the event
    std::string input;  // answer fields or request body
    uint8_t next;
    unsigned countdown; // KEPT: not touched; GONE: connection dropped
    const char* sent;   // kind of the one message sent to the terminal, "" for none
    const char* code;   // code of the one answer to the cash register, "" for none
    const char* logLine;
    probe check;
};

// The terminal's answers.
const std::string PUR_OK = tlv(0x81, "PUR") + tlv(0x9B, "00");
const std::string KEY_OK = tlv(0x81, "FUN") + tlv(0x9B, "00");
const std::string KEY_REFUSED = tlv(0x81, "FUN") + tlv(0x9B, "05");
const std::string KEY_NO_CODE = tlv(0x81, "FUN");
const std::string STL_OK = tlv(0x81, "STL") + tlv(0x9B, "00");
const std::string STL_B3 = tlv(0x81, "STL") + tlv(0x9B, "B3");
const std::string STL_REFUSED = tlv(0x81, "STL") + tlv(0x9B, "05");
const std::string STL_NO_CODE = tlv(0x81, "STL");
const std::string VOI_Y = tlv(0x81, "VOI") + tlv(0x9B, "00") + tlv(0xA1, "Y");
const std::string VOI_B4 = tlv(0x81, "VOI") + tlv(0x9B, "B4");
const std::string VOI_930 = tlv(0x81, "VOI") + tlv(0x9B, "930");
const std::string VOI_N = tlv(0x81, "VOI") + tlv(0x9B, "05") + tlv(0xA1, "N");
const std::string PNG_OK = tlv(0x81, "PNG") + tlv(0x9B, "00");
const std::string IND = tlv(0x81, "IND") + tlv(0x9B, "00");

// Cash-register requests for number 1.
const std::string PUR_REQ = "<type>0200000000</type><amount>500</amount><kkm>1</kkm>";
const std::string BAD_TYPE = "<type>0100000000</type><kkm>1</kkm>";

setup outstanding(typemess kind, uint16_t count)
{
    return [kind, count](dialogueTest& t) {
        t.record->uOper = kind;
        t.record->uVoiCount = count;
        t.record->uTrace = 123;
        t.record->uAmount = 500;
        workPeer::setAsked(t.core, t.record, kind);
        // A purchase, refund or authorisation had its 912 with its first reversal; a
        // reversal or completion of the register waits for its answer to the end.
        workPeer::setAsker(t.core, t.record, t.cashbox.record, count == 0 || kind == VOI || kind == CMP);
        // An earlier operation of this terminal, then the outstanding one.
        workPeer::remember(t.core, t.record, 99);
        workPeer::remember(t.core, t.record, 123);
    };
}

// A purchase whose first reversal was refused: it runs on as VOI.
setup reversedPurchase(uint16_t count)
{
    return [count](dialogueTest& t) {
        outstanding(PUR, count)(t);
        t.record->uOper = VOI;
    };
}

// The codec's last answer passes the reversal success test, and went nowhere.
setup acceptedAnswerParsed(setup then)
{
    return [then](dialogueTest& t) {
        t.record->uLevel = STRIDLE;
        t.answer(VOI_Y);
        t.record->uLevel = STRPROC;
        then(t);
    };
}

// Leaves this little room in the cash register's write buffer.
setup cashRegisterBufferFull(setup then, size_t room)
{
    return [then, room](dialogueTest& t) {
        then(t);
        const std::vector<unsigned char> filler(ssock::BUFF_SIZE - room, 'x');
        ASSERT_NE(0, t.cashbox.record->setWrBuff(filler.data(), static_cast<unsigned short>(filler.size())));
    };
}

// A request waits behind the ping in the terminal's write buffer; with idle the
// ping has been answered since.
setup queuedBehindPing(bool idle)
{
    return [idle](dialogueTest& t) {
        t.record->uLevel = STRPING;
        t.request(PUR_REQ);
        if (idle)
            t.record->uLevel = STRIDLE;
    };
}

probe oneFrameQueued()
{
    return [](dialogueTest& t, const std::vector<message>&) {
        const std::string queued(reinterpret_cast<const char*>(t.terminal.record->wrBuff + t.terminal.record->wrResult),
                                 static_cast<size_t>(t.terminal.record->getWrLen()));
        const std::vector<message> frames = messages(queued);
        ASSERT_EQ(1u, frames.size());
        EXPECT_EQ("PUR", frames[0].at(0x01));
    };
}

// The outstanding purchase is left exactly as it was.
probe untouched(uint16_t count)
{
    return [count](dialogueTest& t, const std::vector<message>&) {
        EXPECT_EQ(count, t.record->uVoiCount);
        EXPECT_EQ(123u, t.record->uTrace);
        EXPECT_EQ(PUR, t.record->uOper);
    };
}

// A message of many fields, approved: every field counts, the count stops at 255.
std::string manyFields(size_t total)
{
    std::string out = PUR_OK + tlv(0x83, "0000000123");
    for (size_t i = 3; i < total; ++i)
        out += tlv(0xD0, "A");
    return out;
}

const std::string EARLIER = tlv(0x83, "0000000099");
const std::string IGNORED = "ERR: message of another operation (type ";
const std::string UNASKED = "ERR: unsolicited message (type ";

probe voiCount(uint16_t expected)
{
    return [expected](dialogueTest& t, const std::vector<message>&) { EXPECT_EQ(expected, t.record->uVoiCount); };
}

probe reversalOfTheRequest(uint16_t expectedCount)
{
    return [expectedCount](dialogueTest& t, const std::vector<message>& sent) {
        EXPECT_EQ(expectedCount, t.record->uVoiCount);
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ("0000000123", sent[0].at(0x03));
        EXPECT_EQ("000000000500", sent[0].at(0x04));
        EXPECT_EQ("01", sent[0].at(0x02));
    };
}

// An approval came after the 912: the next expiry sends a reversal whatever the count.
probe reversalAfter(uint16_t count)
{
    return [count](dialogueTest& t, const std::vector<message>&) {
        EXPECT_EQ(count, t.record->uVoiCount);
        t.expire();
        const std::vector<message> sent = messages(t.terminal.received());
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ("VOI", sent[0].at(0x01));
        EXPECT_EQ("0000000123", sent[0].at(0x03));
        EXPECT_TRUE(documents(t.cashbox.received()).empty());
    };
}

std::vector<std::string> codes(const std::string& stream)
{
    std::vector<std::string> out;
    for (const std::string& d : documents(stream))
        out.push_back(element(d, "code"));
    return out;
}

probe settledToday(bool done)
{
    return [done](dialogueTest& t, const std::vector<message>&) {
        EXPECT_EQ(done, t.record->bStlDone);
        if (done) {
            EXPECT_EQ(15, t.record->uStlDay);
            EXPECT_EQ(0u, t.record->uIdle);
        }
    };
}

const row ROWS[] = {
    // STRNEW: the first expiry picks the start-up step.
    {"new_expiry_loads_keys", STRNEW, EXPIRY, [](dialogueTest& t) { t.settings.loadkeyon = 2; t.settings.stlstarton = true; },
     "", STRKEY, 1000, "", "", nullptr, nullptr},
    {"new_expiry_settles", STRNEW, EXPIRY, [](dialogueTest& t) { t.settings.stlstarton = true; }, "", STRSTL, 1000, "", "",
     nullptr, nullptr},
    {"new_expiry_goes_idle", STRNEW, EXPIRY, nullptr, "", STRIDLE, 1000, "", "", nullptr, nullptr},
    {"new_answer_ignored", STRNEW, ANSWER, nullptr, PUR_OK, STRNEW, KEPT, "", "", nullptr, nullptr},
    {"new_request_busy", STRNEW, REQUEST, nullptr, PUR_REQ, STRNEW, KEPT, "", "914", nullptr, nullptr},

    // STRKEY
    {"key_expiry_loads", STRKEY, EXPIRY, nullptr, "", STRKEY, 11000, "FUN", "", nullptr,
     [](dialogueTest& t, const std::vector<message>& sent) {
         EXPECT_EQ("07", sent.at(0).at(0x0D));
         EXPECT_EQ("0120000000", sent.at(0).at(0x03));
         EXPECT_EQ(120000000u, t.record->uTrace);
     }},
    {"key_answer_ok_then_settle", STRKEY, ANSWER, [](dialogueTest& t) { t.settings.stlstarton = true; }, KEY_OK, STRSTL,
     5000, "", "", nullptr, nullptr},
    {"key_answer_ok_then_idle", STRKEY, ANSWER, nullptr, KEY_OK, STRIDLE, 5000, "", "", nullptr, nullptr},
    {"key_answer_refused_repeats", STRKEY, ANSWER, nullptr, KEY_REFUSED, STRKEY, 11000, "", "", nullptr, nullptr},
    {"key_answer_without_code_repeats", STRKEY, ANSWER, nullptr, KEY_NO_CODE, STRKEY, 11000, "", "", nullptr, nullptr},
    {"key_request_busy", STRKEY, REQUEST, nullptr, PUR_REQ, STRKEY, KEPT, "", "914", nullptr, nullptr},
    // ... only a key-loading answer ends it.
    {"key_answer_purchase_ignored", STRKEY, ANSWER, nullptr, PUR_OK, STRKEY, KEPT, "", "",
     "ERR: message of another operation (type PUR, trace ) ignored (OnRead)\n", nullptr},
    {"key_answer_settlement_ignored", STRKEY, ANSWER, nullptr, STL_OK, STRKEY, KEPT, "", "", IGNORED.c_str(), nullptr},
    {"key_answer_unsolicited_ignored", STRKEY, ANSWER, nullptr, IND, STRKEY, KEPT, "", "", UNASKED.c_str(), nullptr},

    // STRSTL
    {"stl_expiry_settles", STRSTL, EXPIRY, nullptr, "", STRSTL, 11000, "STL", "", nullptr,
     [](dialogueTest&, const std::vector<message>& sent) { EXPECT_EQ("0120000000", sent.at(0).at(0x03)); }},
    {"stl_answer_ok", STRSTL, ANSWER, [](dialogueTest& t) { t.record->uIdle = 7000; }, STL_OK, STRIDLE, 5000, "", "",
     nullptr, settledToday(true)},
    {"stl_answer_b3_counts_as_done", STRSTL, ANSWER, nullptr, STL_B3, STRIDLE, 5000, "", "", nullptr, settledToday(true)},
    {"stl_answer_without_code_counts_as_done", STRSTL, ANSWER, nullptr, STL_NO_CODE, STRIDLE, 5000, "", "",
     "ERR: field 0x9b not found. break. (OnRead)\n", settledToday(true)},
    {"stl_answer_refused_repeats", STRSTL, ANSWER, nullptr, STL_REFUSED, STRSTL, 11000, "", "", nullptr, settledToday(false)},
    {"stl_request_busy", STRSTL, REQUEST, nullptr, PUR_REQ, STRSTL, KEPT, "", "914", nullptr, nullptr},
    // ... only a settlement answer ends it, and not one of an earlier settlement.
    {"stl_answer_purchase_ignored", STRSTL, ANSWER, nullptr, PUR_OK, STRSTL, KEPT, "", "", IGNORED.c_str(),
     settledToday(false)},
    {"stl_answer_unsolicited_ignored", STRSTL, ANSWER, nullptr, tlv(0x81, "JRN"), STRSTL, KEPT, "", "",
     "ERR: unsolicited message (type JRN, trace ) ignored (OnRead)\n", settledToday(false)},
    {"stl_answer_earlier_trace_ignored", STRSTL, ANSWER,
     [](dialogueTest& t) {
         workPeer::remember(t.core, t.record, 99);
         t.record->uTrace = 124;
     },
     STL_OK + EARLIER, STRSTL, KEPT, "", "", IGNORED.c_str(), settledToday(false)},
    {"stl_answer_own_trace", STRSTL, ANSWER,
     [](dialogueTest& t) {
         workPeer::remember(t.core, t.record, 99);
         t.record->uTrace = 99;
     },
     STL_OK + EARLIER, STRIDLE, 5000, "", "", nullptr, settledToday(true)},

    // STRIDLE
    {"idle_expiry_writes_queued_request", STRIDLE, EXPIRY,
     [](dialogueTest& t) {
         t.record->uLevel = STRPING;
         t.request(PUR_REQ);
         t.record->uLevel = STRIDLE; // the ping has been answered
         t.record->uIdle = 4000;
     },
     "", STRPROC, 12000, "PUR", "", nullptr,
     [](dialogueTest& t, const std::vector<message>&) { EXPECT_EQ(0u, t.record->uIdle); }},
    {"idle_expiry_pings", STRIDLE, EXPIRY, [](dialogueTest& t) { t.record->uIdle = 29000; }, "", STRPING, 6000, "PNG", "",
     nullptr,
     [](dialogueTest& t, const std::vector<message>& sent) {
         EXPECT_EQ(0u, t.record->uIdle);
         EXPECT_EQ("01", sent.at(0).at(0x02));
         EXPECT_EQ(0u, sent.at(0).count(0x03));
     }},
    {"idle_expiry_ticks", STRIDLE, EXPIRY, [](dialogueTest& t) { t.record->uIdle = 5000; }, "", STRIDLE, 1000, "", "",
     nullptr, [](dialogueTest& t, const std::vector<message>&) { EXPECT_EQ(6000u, t.record->uIdle); }},
    {"idle_answer_ignored", STRIDLE, ANSWER, nullptr, PUR_OK, STRIDLE, KEPT, "", "", nullptr, nullptr},
    {"idle_request_sent", STRIDLE, REQUEST, [](dialogueTest& t) { t.record->uIdle = 9000; }, PUR_REQ, STRPROC, 12000,
     "PUR", "", nullptr,
     [](dialogueTest& t, const std::vector<message>& sent) {
         EXPECT_EQ(0u, t.record->uIdle);
         EXPECT_EQ(0u, t.record->uVoiCount);
         EXPECT_EQ("000000000500", sent.at(0).at(0x04));
     }},
    {"idle_request_unknown_type", STRIDLE, REQUEST, nullptr, BAD_TYPE, STRIDLE, KEPT, "", "2", nullptr, nullptr},
    {"idle_request_behind_queued_frame_busy", STRIDLE, REQUEST, queuedBehindPing(true), PUR_REQ, STRIDLE, KEPT, "",
     "914", nullptr, oneFrameQueued()},
    {"idle_request_terminal_not_connected", STRIDLE, REQUEST,
     [](dialogueTest& t) { workPeer::terminals(t.core).del(1u); }, PUR_REQ, STRIDLE, KEPT, "", "911",
     "ERR: 3 (proc)\n", nullptr},

    // STRPROC, expiry of a purchase, refund or authorisation: 912, then reversals.
    {"proc_expiry_first_reversal", STRPROC, EXPIRY, outstanding(PUR, 0), "", STRPROC, 14000, "VOI", "912",
     "ERR: send autoreversal\n", reversalOfTheRequest(1)},
    {"proc_expiry_next_reversal", STRPROC, EXPIRY, outstanding(REF, 2), "", STRPROC, 14000, "VOI", "", nullptr,
     reversalOfTheRequest(3)},
    {"proc_expiry_reversals_used_up", STRPROC, EXPIRY, outstanding(AUT, 3), "", STRIDLE, 1000, "", "", nullptr,
     voiCount(4)},
    {"proc_expiry_count_saturates", STRPROC, EXPIRY,
     [](dialogueTest& t) {
         outstanding(PUR, 65535)(t);
         t.settings.voi_repeat = 70000;
     },
     "", STRPROC, 14000, "VOI", "", nullptr, reversalOfTheRequest(65535)},
    // ... of a reversal or completion from the cash register: repeated as reversals.
    {"proc_expiry_void_after_accepted_answer", STRPROC, EXPIRY, acceptedAnswerParsed(outstanding(VOI, 0)),
     "", STRIDLE, 1000, "", "912", "ERR: No answer from pinpad\n", voiCount(0)},
    {"proc_expiry_void_used_up", STRPROC, EXPIRY, outstanding(VOI, 3), "", STRIDLE, 1000, "", "912",
     "ERR: No answer from pinpad\n", voiCount(4)},
    // ... of a purchase that runs on as VOI: its cash register had its 912 already.
    {"proc_expiry_reversed_purchase_used_up", STRPROC, EXPIRY, reversedPurchase(3), "", STRIDLE, 1000, "", "",
     "ERR: No answer from pinpad\n", voiCount(4)},
    {"proc_expiry_reversed_purchase_after_accepted_answer", STRPROC, EXPIRY, acceptedAnswerParsed(reversedPurchase(2)),
     "", STRIDLE, 1000, "", "", "ERR: No answer from pinpad\n", voiCount(2)},
    {"proc_expiry_reversed_purchase_repeated", STRPROC, EXPIRY, reversedPurchase(2), "", STRPROC, 14000, "VOI", "",
     nullptr, reversalOfTheRequest(3)},
    {"proc_expiry_completion_repeated", STRPROC, EXPIRY, outstanding(CMP, 0), "", STRPROC, 14000, "VOI", "", nullptr,
     reversalOfTheRequest(1)},
    // ... of anything else: nothing to reverse, but the request is answered.
    {"proc_expiry_settlement", STRPROC, EXPIRY, outstanding(STL, 0), "", STRIDLE, 1000, "", "912",
     "ERR: No answer from pinpad\n", nullptr},
    {"proc_expiry_version", STRPROC, EXPIRY, outstanding(VER, 0), "", STRIDLE, 1000, "", "912",
     "ERR: No answer from pinpad\n", nullptr},
    {"proc_expiry_diagnostics", STRPROC, EXPIRY, outstanding(FUN, 0), "", STRIDLE, 1000, "", "912",
     "ERR: No answer from pinpad\n", nullptr},
    {"proc_expiry_pin", STRPROC, EXPIRY, outstanding(PIN, 0), "", STRIDLE, 1000, "", "912",
     "ERR: No answer from pinpad\n", nullptr},
    // ... and once only: a request that had its 912 (its terminal was lost) gets none again.
    {"proc_expiry_settlement_answered_before", STRPROC, EXPIRY,
     [](dialogueTest& t) {
         outstanding(STL, 0)(t);
         workPeer::setAsker(t.core, t.record, t.cashbox.record, false);
     },
     "", STRIDLE, 1000, "", "", nullptr, nullptr},
    {"proc_expiry_purchase_answered_before", STRPROC, EXPIRY,
     [](dialogueTest& t) {
         outstanding(PUR, 0)(t);
         workPeer::setAsker(t.core, t.record, t.cashbox.record, false);
     },
     "", STRPROC, 14000, "VOI", "", "ERR: send autoreversal\n", reversalOfTheRequest(1)},

    // STRPROC, answers.
    {"proc_answer_reversal_accepted_y", STRPROC, ANSWER, outstanding(PUR, 1), VOI_Y, STRIDLE, 5000, "", "", nullptr,
     voiCount(0)},
    {"proc_answer_reversal_accepted_b4", STRPROC, ANSWER, outstanding(PUR, 1), VOI_B4, STRIDLE, 5000, "", "", nullptr,
     voiCount(0)},
    {"proc_answer_reversal_accepted_930", STRPROC, ANSWER, outstanding(PUR, 1), VOI_930, STRIDLE, 5000, "", "", nullptr,
     voiCount(0)},
    {"proc_answer_reversal_refused_used_up", STRPROC, ANSWER, outstanding(PUR, 3), VOI_N, STRIDLE, 5000, "", "", nullptr,
     voiCount(0)},
    {"proc_answer_reversal_refused", STRPROC, ANSWER, outstanding(PUR, 1), VOI_N, STRPROC, 1000, "", "", nullptr,
     [](dialogueTest& t, const std::vector<message>&) {
         EXPECT_EQ(2, t.record->uVoiCount);
         EXPECT_EQ(VOI, t.record->uOper);
     }},
    {"proc_answer_delivered", STRPROC, ANSWER, outstanding(PUR, 0), PUR_OK, STRIDLE, 5000, "", "00", nullptr, nullptr},
    // ... after its 912 the request's own answer is not delivered, and an approval
    // gets a reversal after it, also with the reversals used up.
    {"proc_answer_late_after_912_not_delivered", STRPROC, ANSWER, outstanding(PUR, 1), PUR_OK, STRPROC, KEPT, "", "",
     "ERR: late answer not delivered (type PUR, trace ) (OnRead)\n", reversalAfter(1)},
    {"proc_answer_late_after_912_reversals_used_up", STRPROC, ANSWER, outstanding(AUT, 3),
     tlv(0x81, "AUT") + tlv(0x9B, "00"), STRPROC, KEPT, "", "", "ERR: late answer not delivered (type AUT, trace ) (OnRead)\n",
     reversalAfter(3)},
    {"proc_answer_late_refusal_after_912", STRPROC, ANSWER, outstanding(REF, 3), tlv(0x81, "REF") + tlv(0x9B, "05"),
     STRPROC, KEPT, "", "", "ERR: late answer not delivered (type REF, trace ) (OnRead)\n",
     [](dialogueTest& t, const std::vector<message>&) {
         t.expire(); // the count is used up and nothing was approved: no reversal
         EXPECT_TRUE(messages(t.terminal.received()).empty());
         EXPECT_EQ(STRIDLE, t.record->uLevel);
     }},
    {"proc_answer_late_after_912_of_a_lost_terminal", STRPROC, ANSWER,
     [](dialogueTest& t) {
         outstanding(PUR, 0)(t);
         workPeer::setAsker(t.core, t.record, t.cashbox.record, false);
     },
     PUR_OK, STRPROC, 1000, "", "", "ERR: late answer not delivered (type PUR, trace ) (OnRead)\n", reversalAfter(0)},
    {"proc_answer_late_version_after_912", STRPROC, ANSWER,
     [](dialogueTest& t) {
         outstanding(VER, 0)(t);
         workPeer::setAsker(t.core, t.record, t.cashbox.record, false);
     },
     tlv(0x81, "VER") + tlv(0x9B, "00"), STRIDLE, 5000, "", "", "ERR: late answer not delivered (type VER, trace ) (OnRead)\n",
     nullptr},
    // ... during the undoing of a completion, the completion's approval is not its answer.
    {"proc_answer_completion_during_repetitions", STRPROC, ANSWER, outstanding(CMP, 1), tlv(0x81, "CMP") + tlv(0x9B, "00"),
     STRPROC, KEPT, "", "", "ERR: late answer not delivered (type CMP, trace ) (OnRead)\n", reversalAfter(1)},
    {"proc_answer_cash_register_gone", STRPROC, ANSWER,
     [](dialogueTest& t) {
         outstanding(PUR, 0)(t);
         t.hangUp(t.cashbox);
     },
     PUR_OK, STRPROC, 1000, "", "", "ERR: can't find socket for kkm 1\n", nullptr},
    {"proc_answer_cash_register_buffer_full", STRPROC, ANSWER, cashRegisterBufferFull(outstanding(PUR, 0), 100), PUR_OK,
     STRPROC, 1000, "", "", "ERR: can't put answer into socket for kkm 1\n", untouched(0)},
    {"proc_answer_fits_the_cash_register_buffer", STRPROC, ANSWER, cashRegisterBufferFull(outstanding(PUR, 0), 2000),
     PUR_OK, STRIDLE, 5000, "", "00", nullptr, nullptr},
    {"proc_answer_of_256_fields_delivered", STRPROC, ANSWER, outstanding(PUR, 0), manyFields(256), STRIDLE, 5000, "",
     "00", nullptr, nullptr},
    {"proc_answer_of_512_fields_delivered", STRPROC, ANSWER, outstanding(PUR, 0), manyFields(512), STRIDLE, 5000, "",
     "00", nullptr, nullptr},
    {"proc_request_busy", STRPROC, REQUEST, nullptr, PUR_REQ, STRPROC, KEPT, "", "914", nullptr, nullptr},

    // STRPROC, messages of other operations: logged, and nothing else changes.
    {"proc_answer_earlier_purchase_ignored", STRPROC, ANSWER, outstanding(PUR, 0), PUR_OK + EARLIER, STRPROC, KEPT, "",
     "", "ERR: message of another operation (type PUR, trace 0000000099) ignored (OnRead)\n", untouched(0)},
    {"proc_answer_late_reversal_ignored", STRPROC, ANSWER, outstanding(PUR, 0), VOI_Y + EARLIER, STRPROC, KEPT, "", "",
     IGNORED.c_str(), untouched(0)},
    {"proc_answer_reversal_without_trace_ignored", STRPROC, ANSWER, outstanding(PUR, 0), VOI_Y, STRPROC, KEPT, "", "",
     IGNORED.c_str(), untouched(0)},
    {"proc_answer_settlement_ignored", STRPROC, ANSWER, outstanding(PUR, 0), STL_OK, STRPROC, KEPT, "", "",
     IGNORED.c_str(), untouched(0)},
    {"proc_answer_kind_searched_in_table_order", STRPROC, ANSWER, outstanding(REF, 0),
     tlv(0x81, "VOIREF") + tlv(0x9B, "00"), STRPROC, KEPT, "", "", IGNORED.c_str(), nullptr},
    {"proc_answer_earlier_accepted_reversal_ignored", STRPROC, ANSWER, outstanding(PUR, 1), VOI_Y + EARLIER, STRPROC,
     KEPT, "", "", IGNORED.c_str(), untouched(1)},
    {"proc_answer_earlier_purchase_during_reversal_ignored", STRPROC, ANSWER, outstanding(PUR, 1), PUR_OK + EARLIER,
     STRPROC, KEPT, "", "", IGNORED.c_str(), untouched(1)},
    // ... and messages nobody asked for.
    {"proc_answer_unsolicited_ignored", STRPROC, ANSWER, outstanding(PUR, 0), IND, STRPROC, KEPT, "", "",
     "ERR: unsolicited message (type IND, trace ) ignored (OnRead)\n", untouched(0)},
    {"proc_answer_without_kind_ignored", STRPROC, ANSWER, outstanding(PUR, 0), tlv(0x9B, "00") + EARLIER, STRPROC, KEPT,
     "", "", "ERR: unsolicited message (type , trace 0000000099) ignored (OnRead)\n", untouched(0)},
    {"proc_answer_null_kind_ignored", STRPROC, ANSWER, outstanding(PUR, 0), tlv(0x81, "NUL"), STRPROC, KEPT, "", "",
     UNASKED.c_str(), untouched(0)},
    {"proc_answer_unsolicited_during_reversal_ignored", STRPROC, ANSWER, outstanding(PUR, 1), tlv(0x81, "JRN"), STRPROC,
     KEPT, "", "", UNASKED.c_str(), untouched(1)},
    // ... while its own answers are still taken: its trace, a trace this server
    // never sent, no trace, a reversal of its own.
    {"proc_answer_own_trace_delivered", STRPROC, ANSWER, outstanding(PUR, 0), PUR_OK + tlv(0x83, "0000000123"), STRIDLE,
     5000, "", "00", nullptr, nullptr},
    {"proc_answer_terminal_numbering_delivered", STRPROC, ANSWER, outstanding(PUR, 0), PUR_OK + tlv(0x83, "42"),
     STRIDLE, 5000, "", "00", nullptr, nullptr},
    {"proc_answer_trace_not_a_number_delivered", STRPROC, ANSWER, outstanding(PUR, 0), PUR_OK + tlv(0x83, "99A"),
     STRIDLE, 5000, "", "00", nullptr, nullptr},
    {"proc_answer_own_reversal_delivered", STRPROC, ANSWER, outstanding(VOI, 0), VOI_Y + tlv(0x83, "0000000123"),
     STRIDLE, 5000, "", "00", nullptr, nullptr},
    // ... a reversal or completion of the register is answered once, however its repetitions end.
    {"proc_answer_reversal_of_completion_accepted", STRPROC, ANSWER, outstanding(CMP, 1), VOI_Y, STRIDLE, 5000, "", "912",
     "ERR: No answer from pinpad\n", voiCount(0)},
    {"proc_answer_repeated_reversal_accepted", STRPROC, ANSWER, outstanding(VOI, 1), VOI_Y, STRIDLE, 5000, "", "00",
     nullptr, nullptr},
    {"proc_answer_repeated_reversal_refused_used_up", STRPROC, ANSWER, outstanding(VOI, 3), VOI_N, STRIDLE, 5000, "",
     "912", "ERR: No answer from pinpad\n", voiCount(0)},
    {"proc_answer_repeated_completion_refused_used_up", STRPROC, ANSWER, outstanding(CMP, 3), VOI_N, STRIDLE, 5000, "",
     "912", "ERR: No answer from pinpad\n", voiCount(0)},
    {"proc_answer_repeated_reversal_accepted_buffer_full", STRPROC, ANSWER,
     cashRegisterBufferFull(outstanding(VOI, 1), 400), VOI_Y, STRPROC, 1000, "", "",
     "ERR: can't put answer into socket for kkm 1\n",
     [](dialogueTest& t, const std::vector<message>&) {
         t.cashbox.received();
         t.cashbox.record->buffWrCl();
         t.expire(); // the cancellation is done; the register hears that it got no answer
         EXPECT_EQ(std::vector<std::string>{"912"}, codes(t.cashbox.received()));
         EXPECT_EQ(STRIDLE, t.record->uLevel);
         EXPECT_TRUE(messages(t.terminal.received()).empty());
     }},
    // ... one classification of a message's kind: "VOI" anywhere in 0x81 is a reversal answer.
    {"proc_answer_refused_reversal_kind_contains_voi", STRPROC, ANSWER, outstanding(PUR, 1),
     tlv(0x81, "VOI ") + tlv(0x9B, "05") + tlv(0xA1, "N"), STRPROC, 1000, "", "", nullptr, voiCount(2)},

    // STRPING
    {"ping_expiry_drops_the_connection", STRPING, EXPIRY, [](dialogueTest& t) { t.record->uIdle = 3000; }, "", STRIDLE,
     GONE, "", "", "ERR: PING (OnTimeout), IP: 127.0.0.1\n",
     [](dialogueTest& t, const std::vector<message>&) { EXPECT_EQ(0u, t.record->uIdle); }},
    {"ping_answer", STRPING, ANSWER, [](dialogueTest& t) { t.record->uIdle = 3000; }, PNG_OK, STRIDLE, 5000, "", "",
     nullptr, [](dialogueTest& t, const std::vector<message>&) { EXPECT_EQ(0u, t.record->uIdle); }},
    {"ping_request_queued", STRPING, REQUEST, nullptr, PUR_REQ, STRPING, KEPT, "", "", nullptr,
     [](dialogueTest& t, const std::vector<message>&) { EXPECT_GT(t.terminal.record->getWrLen(), 0); }},
    {"ping_request_behind_queued_frame_busy", STRPING, REQUEST, queuedBehindPing(false), PUR_REQ, STRPING, KEPT, "",
     "914", nullptr, oneFrameQueued()},
    {"ping_request_unknown_type", STRPING, REQUEST, nullptr, BAD_TYPE, STRPING, KEPT, "", "2", nullptr,
     [](dialogueTest& t, const std::vector<message>&) { EXPECT_EQ(0, t.terminal.record->getWrLen()); }},

    // A level the machine does not know.
    {"unknown_level_expiry", 6, EXPIRY, nullptr, "", 6, GONE, "", "", "ERR: 3 (OnTimeout), IP: 127.0.0.1\n", nullptr},
    {"unknown_level_answer", 6, ANSWER, nullptr, PUR_OK, 6, KEPT, "", "", nullptr, nullptr},
};

void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

class TransitionTable : public dialogueTest, public ::testing::WithParamInterface<row> {};

TEST_P(TransitionTable, Step)
{
    const row& r = GetParam();
    record->uLevel = r.level;
    if (r.given)
        r.given(*this);
    apply();
    terminal.received();
    cashbox.received();
    terminal.record->setTimeout(KEPT);

    switch (r.on) {
    case EXPIRY: expire(); break;
    case ANSWER: answer(r.input); break;
    case REQUEST: request(r.input); break;
    }

    EXPECT_EQ(r.next, record->uLevel);
    // Read what the terminal got once: for a dropped connection, the close comes after it.
    const std::string toTerminal = terminal.received();
    if (r.countdown == GONE) {
        EXPECT_EQ(0u, workPeer::terminals(core).size());
        EXPECT_TRUE(terminal.peerClosed());
    } else {
        EXPECT_EQ(r.countdown, countdown());
    }
    const std::vector<message> sent = messages(toTerminal);
    if (*r.sent) {
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(r.sent, sent[0].at(0x01));
    } else {
        EXPECT_TRUE(sent.empty());
    }
    const std::vector<std::string> docs = documents(cashbox.received());
    if (*r.code) {
        ASSERT_EQ(1u, docs.size());
        EXPECT_EQ(r.code, element(docs[0], "code"));
    } else {
        EXPECT_TRUE(docs.empty()) << docs[0];
    }
    if (r.logLine) {
        EXPECT_TRUE(contains(dir.log(), r.logLine)) << dir.log();
    }
    if (r.check)
        r.check(*this, sent);
}

INSTANTIATE_TEST_SUITE_P(Dialogue, TransitionTable, ::testing::ValuesIn(ROWS),
                         [](const ::testing::TestParamInfo<row>& info) { return std::string(info.param.name); });

} // namespace
