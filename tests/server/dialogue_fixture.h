#ifndef DIALOGUE_FIXTURE_H
#define DIALOGUE_FIXTURE_H

// The terminal dialogue driven by hand: the test calls OnTimeout and OnRead of a
// server core whose terminal and cash register are socket pairs, so minutes of
// countdowns take no time at all. The countdown a step armed is read straight
// from the connection's record; the wall clock is a field the test sets.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "work_peer.h"

// A server core whose local time is whatever the test says.
class clockedWork : public work {
public:
    struct tm when = {};
    unsigned millis = 0;

    clockedWork() { at(12, 0, 0, 0, 15); }
    void at(int hour, int minute, int second, unsigned ms, int day)
    {
        when = tm();
        when.tm_year = 116;
        when.tm_mon = 5;
        when.tm_mday = day;
        when.tm_hour = hour;
        when.tm_min = minute;
        when.tm_sec = second;
        millis = ms;
    }

protected:
    void localNow(struct tm& local, unsigned& ms) override
    {
        local = when;
        ms = millis;
    }
};

// The two length frames around a TLV message.
inline std::string frame(const std::string& tlv)
{
    std::string out;
    const size_t n = tlv.size();
    out += static_cast<char>(((n + 4) >> 8) & 0xFF);
    out += static_cast<char>((n + 4) & 0xFF);
    out += std::string("\0\0", 2);
    out += static_cast<char>((n >> 8) & 0xFF);
    out += static_cast<char>(n & 0xFF);
    return out + tlv;
}

// One field with a one-byte tag and a short length.
inline std::string tlv(unsigned char tag, const std::string& v)
{
    return std::string(1, static_cast<char>(tag)) + static_cast<char>(v.size()) + v;
}

// A message the server sent to the terminal: its fields by tag.
typedef std::map<unsigned, std::string> message;

// Splits what the terminal received into messages; a broken stream fails the test.
inline std::vector<message> messages(const std::string& stream)
{
    std::vector<message> out;
    size_t p = 0;
    while (p < stream.size()) {
        if (stream.size() - p < 6) {
            ADD_FAILURE() << "short frame";
            break;
        }
        const unsigned char* b = reinterpret_cast<const unsigned char*>(stream.data()) + p;
        const size_t outer = (b[0] << 8) | b[1];
        const size_t inner = (static_cast<size_t>(b[2]) << 24) | (b[3] << 16) | (b[4] << 8) | b[5];
        if (outer != inner + 4 || stream.size() - p < 2 + outer) {
            ADD_FAILURE() << "frame lengths " << outer << " and " << inner;
            break;
        }
        message m;
        size_t q = p + 6;
        const size_t end = p + 2 + outer;
        while (q + 2 <= end) {
            const unsigned tag = static_cast<unsigned char>(stream[q]);
            size_t len = static_cast<unsigned char>(stream[q + 1]);
            q += 2;
            if (len == 0x81 && q < end) {
                len = static_cast<unsigned char>(stream[q]);
                ++q;
            }
            m[tag] = stream.substr(q, len);
            q += len;
        }
        out.push_back(m);
        p = end;
    }
    return out;
}

// The text of element name in an answer document, "" when absent.
inline std::string element(const std::string& doc, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const size_t a = doc.find(open);
    if (a == std::string::npos)
        return "";
    const size_t b = doc.find("</" + name + ">", a);
    return b == std::string::npos ? "" : doc.substr(a + open.size(), b - a - open.size());
}

// Answer documents written to a cash register, one per "<mess>".
inline std::vector<std::string> documents(const std::string& stream)
{
    std::vector<std::string> out;
    size_t a = stream.find("<mess>");
    while (a != std::string::npos) {
        size_t b = stream.find("</mess>", a);
        if (b == std::string::npos)
            break;
        out.push_back(stream.substr(a, b + 7 - a));
        a = stream.find("<mess>", b);
    }
    return out;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const unsigned KEPT = 777; // a countdown no step arms, to see that a step left it alone
const unsigned GONE = 0;   // the step dropped the terminal's connection

// Terminal 1 connected with its record, a cash register connected for number 1.
class dialogueTest : public ::testing::Test {
public: // the case tables reach in
    struct freshConfig {
        freshConfig() { config::free(); }
    } fresh;
    scratchDir dir;
    clockedWork core;
    asock& reactor = workPeer::reactor(core);
    workPeer::dialogueSettings settings = distinctTimeouts();
    ssock* termListener = listener(CONN_TERMINAL, 1);
    ssock* cashListener = listener(CONN_CASHBOX, 0);
    state* record = addState(1);
    pairConn terminal;
    pairConn cashbox;

    // Every timeout its own value, so the countdown tells which one was armed.
    static workPeer::dialogueSettings distinctTimeouts()
    {
        workPeer::dialogueSettings s;
        s.stl_timeout = 11000;
        s.pur_timeout = 12000;
        s.ref_timeout = 13000;
        s.voi_timeout = 14000;
        s.cmp_timeout = 15000;
        s.png_timeout = 6000;
        s.png_period = 30000;
        s.voi_repeat = 2;
        return s;
    }

    void SetUp() override
    {
        workPeer::configure(core, settings);
        accept(terminal, termListener);
        accept(cashbox, cashListener);
        cashbox.received(); // the greeting
        // As if it had already sent a request for number 1.
        workPeer::cashboxes(core).insert(1, cashbox.record);
    }

    void apply() { workPeer::configure(core, settings); }

    ssock* listener(int kind, unsigned number)
    {
        ssock* l = reactor.createTcp();
        workPeer::attachKind(core, l, kind);
        l->setAccept(kind == CONN_TERMINAL ? 2 : 50);
        EXPECT_TRUE(reactor.listen(l, 0));
        EXPECT_TRUE(reactor.addSock(l));
        if (kind == CONN_TERMINAL)
            workPeer::listeners(core).insert(number, l);
        return l;
    }

    state* addState(unsigned n)
    {
        state* s = new state(n);
        workPeer::states(core).insert(n, s);
        return s;
    }

    // What the reactor does around OnAccept.
    void accept(pairConn& c, ssock* from)
    {
        c.record->parent = from;
        c.record->sockState = from->sockState;
        c.record->destAddr.sin_addr.s_addr = htonl(0x7F000001);
        ++from->acceptCount;
        core.OnAccept(c.record);
        c.owned = false;
    }

    // The peer went away: what the reactor does when a read returns nothing.
    void hangUp(pairConn& c)
    {
        core.OnClose(c.record);
        reactor.close(c.record);
    }

    void expire(pairConn& c) { core.OnTimeout(c.record); }
    void expire() { expire(terminal); }

    void read(pairConn& c, const std::string& bytes)
    {
        c.arrive(bytes);
        core.OnRead(c.record);
    }
    // One framed answer of the terminal.
    void answer(const std::string& fields) { read(terminal, frame(fields)); }
    // One cash-register request document.
    void request(const std::string& body, pairConn& from)
    {
        read(from, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<mess>\n" + body + "\n</mess>\n");
    }
    void request(const std::string& body) { request(body, cashbox); }

    unsigned countdown() const { return terminal.record->timeout; }
};

#endif
