#ifndef DIALOGUE_FIXTURE_H
#define DIALOGUE_FIXTURE_H

// The terminal dialogue driven by hand: the test calls OnTimeout and OnRead of a
// server core whose terminal and cash register are socket pairs, so minutes of
// countdowns take no time at all. The countdown a step armed is read straight
// from the connection's record; the wall clock is a field the test sets.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cash_documents.h"
#include "terminal_frames.h"
#include "work_peer.h"

// A server core whose local time is whatever the test says.
class clockedWork : public work {
public:
    struct tm when = {};
    unsigned millis = 0;
    uint64_t mono = 5000000; // monotonic milliseconds, moved by the test

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
    uint64_t monoNow() override { return mono; }
};

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
        read(from, requestDocument(body));
    }
    void request(const std::string& body) { request(body, cashbox); }

    unsigned countdown() const { return terminal.record->timeout; }
};

#endif
