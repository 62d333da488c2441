// A cash-register read is untrusted bytes: it goes through the read handler of a
// cash-register connection as the reactor hands it over, so that the parser, the
// dispatch, the terminal request and the error answers all see hostile values;
// then the terminal's answer document is built around what the parser accepted.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "scratch.h"
#include "work_peer.h"

namespace {

// One terminal record for each road a request can take: written to an idle
// terminal, queued behind a ping, refused for want of a connection, refused as
// busy. Any other number has no record at all.
struct recordSetup {
    unsigned number;
    uint8_t level;
    bool connected;
};
const recordSetup RECORDS[] = {
    {1, STRIDLE, true},
    {2, STRPING, true},
    {3, STRIDLE, false},
    {4, STRPROC, true},
};
const size_t RECORD_COUNT = sizeof RECORDS / sizeof RECORDS[0];

std::vector<unsigned char> value(const std::string& text)
{
    std::vector<unsigned char> v(text.begin(), text.end());
    v.push_back(0); // the reader keeps a NUL behind every value
    return v;
}

// The answer a terminal would send for this request, echoing its values under
// the tags that createXml reads, so that hostile lengths and bytes reach it.
void answerEchoing(epmess& codec, const xmlfield& request, typemess kind)
{
    codec.clBuffer();
    codec.setField(0x81, value(codec.getMessText(kind)));
    codec.setField(0xEF, value(request.pem));
    codec.setField(0x89, value(request.card));
    codec.setField(0x84, value(request.amount));
    codec.setField(0x1B, value(request.currency));
    codec.setField(0x83, value(request.trace));
    codec.setField(0x8B, value(request.invoice));
    codec.setField(0x8C, value(request.crc));
    codec.setField(0xA0, value(request.cardholder));
    codec.setField(0xC1, value(request.cardholder));
    codec.setField(0xC0, value(request.carddataenc));
    codec.setField(0x50, value(request.applabel));
    codec.setField(0x9F06, value(request.aid));
    codec.setField(0x9F26, value(request.trancert));
    codec.setField(0xC2, value(request.cardid));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        fuzzScratch::enter();
        setpath("/dev/null");
        return true;
    }();
    (void)ready;

    // No configuration is loaded: the codec inside the core takes its defaults.
    config::free();
    {
        work core;
        workPeer::setLoglevel(core, 7); // every log line of the read path is built
        // Both answer encodings, picked by the input so that the fuzzer steers it.
        workPeer::setUtf(core, size % 2 == 1);

        // Connections are declared after the core, so they go first and the core
        // never outlives a record it holds.
        pairConn cashbox;
        pairConn terminals[RECORD_COUNT];
        workPeer::attachKind(core, cashbox.record, CONN_CASHBOX);
        for (size_t i = 0; i < RECORD_COUNT; ++i) {
            state* record = new state(RECORDS[i].number);
            record->uLevel = RECORDS[i].level;
            workPeer::states(core).insert(RECORDS[i].number, record);
            if (RECORDS[i].connected)
                workPeer::terminals(core).insert(RECORDS[i].number, terminals[i].record);
        }

        cashbox.arrive(std::string(reinterpret_cast<const char*>(data), size));
        core.OnRead(cashbox.record);
        cashbox.received();
        for (pairConn& t : terminals)
            t.received();

        // The request again, cut as the read handler cuts it, for the answer.
        char text[4096];
        memset(text, 0, sizeof text);
        if (size)
            memcpy(text, data, std::min(size, sizeof text - 1));
        xmlfield request;
        if (core.parsXml(text, sizeof text - 1, &request) != 0) {
            const unsigned n = static_cast<unsigned>(strtoul(request.kkm.c_str(), nullptr, 10));
            state standIn(n);
            standIn.strXmlHead = request.xmlDecl;
            standIn.uOper = PUR;
            // A record the read path reached carries its own kind and declaration.
            state* record = workPeer::states(core).get(n);
            if (!record)
                record = &standIn;
            answerEchoing(workPeer::codec(core), request, record->uOper);
            core.createXml(record);
        }
    }
    config::free();
    return 0;
}
