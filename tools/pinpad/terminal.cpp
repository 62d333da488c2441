#include "terminal.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "frame.h"

namespace pinpad {

namespace {

bool isFinancial(const std::string& kind)
{
    return kind == "PUR" || kind == "REF" || kind == "AUT" || kind == "CMP" || kind == "VOI";
}

// Date MMDD and time HHMM of the wall clock, as a terminal prints them on its slip.
void wallClock(std::string& date, std::string& time)
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char d[8], h[8];
    std::snprintf(d, sizeof d, "%02d%02d", (tm.tm_mon + 1) % 100, tm.tm_mday % 100);
    std::snprintf(h, sizeof h, "%02d%02d", tm.tm_hour % 100, tm.tm_min % 100);
    date = d;
    time = h;
}

}  // namespace

Terminal::Terminal(Script& script, Identity identity, TraceLog* log)
    : script_(script), identity_(std::move(identity)), log_(log)
{
}

void Terminal::log(const std::string& text)
{
    if (log_)
        log_->line(text);
}

std::string Terminal::ruleKind(const Fields& request)
{
    const std::string* kind = findField(request, 0x01);
    if (!kind)
        return "";
    const std::string* function = findField(request, 0x0D);
    if (*kind == "FUN" && function && *function == "07")
        return "KEY";
    return *kind;
}

void Terminal::connected(TimePoint now, int unsolicitedMs)
{
    input_.clear();
    pending_.clear();
    if (unsolicitedMs >= 0) {
        Fields fields = answer(Fields{Field{0x01, "PUR"}}, Step{});
        schedule(Output{now + std::chrono::milliseconds(unsolicitedMs), Output::Write, encodeFrame(encodeTlv(fields)),
                        "send unsolicited " + describe(fields)});
    }
}

void Terminal::received(const std::string& data, TimePoint now)
{
    input_ += data;
    for (;;) {
        std::string tlv;
        FrameStatus status = takeFrame(input_, tlv);
        if (status == FrameStatus::Incomplete)
            return;
        if (status == FrameStatus::Bad) {
            // Nothing after a broken length can be trusted to start a frame.
            log("bad-frame " + escapeBytes(input_));
            input_.clear();
            return;
        }
        handle(tlv, now);
    }
}

void Terminal::handle(const std::string& tlv, TimePoint now)
{
    Fields request;
    if (!decodeTlv(tlv, request)) {
        log("bad-tlv " + escapeBytes(tlv));
        return;
    }
    const std::string* kindField = findField(request, 0x01);
    const std::string kind = kindField ? *kindField : "?";
    log("recv " + escapeBytes(kind) + " " + describe(request));

    const Step step = script_.next(ruleKind(request));
    if (!step.notice.empty()) {
        Fields fields = notice(request, step.notice);
        schedule(Output{now, Output::Write, encodeFrame(encodeTlv(fields)), "send notice " + describe(fields)});
    }
    const TimePoint when = now + std::chrono::milliseconds(step.delayMs);
    std::string bytes;
    std::string note;
    switch (step.verb) {
    case Verb::Silent:
        log("silent " + escapeBytes(kind));
        return;
    case Verb::Disconnect:
        schedule(Output{when, Output::Close, "", "disconnect"});
        return;
    case Verb::Garbage:
        bytes = "GARBAGE!\r\n";
        note = "send garbage " + escapeBytes(bytes);
        break;
    case Verb::BadTlv:
        // A value of five bytes announced, one given.
        bytes = encodeFrame(std::string("\x81\x05\x50", 3));
        note = "send badtlv " + escapeBytes(bytes);
        break;
    case Verb::Approve:
    case Verb::Decline: {
        Fields fields = answer(request, step);
        bytes = encodeFrame(encodeTlv(fields));
        note = "send " + escapeBytes(kind) + " " + describe(fields);
        break;
    }
    }
    if (step.twice) {
        bytes += bytes;
        note += " (twice in one write)";
    }
    if (step.split && bytes.size() > 1) {
        const size_t half = bytes.size() / 2;
        schedule(Output{when, Output::Write, bytes.substr(0, half), note + " (first part)"});
        schedule(Output{when + std::chrono::milliseconds(step.gapMs), Output::Write, bytes.substr(half),
                        "send second part"});
        return;
    }
    schedule(Output{when, Output::Write, bytes, note});
}

Fields Terminal::answer(const Fields& request, const Step& step)
{
    const std::string* kindField = findField(request, 0x01);
    const std::string kind = kindField ? *kindField : "";
    const bool approved = step.verb == Verb::Approve;
    const std::string code = !step.code.empty() ? step.code : approved ? "00" : "05";
    ++sequence_;

    Fields out;
    auto add = [&](uint16_t tag, const std::string& value) { out.push_back(Field{tag, value}); };
    auto echo = [&](uint16_t from, uint16_t to) {
        if (const std::string* v = findField(request, from))
            add(to, *v);
    };
    std::string date, time;
    wallClock(date, time);

    add(0x81, kind);
    echo(0x02, 0x82);
    echo(0x03, 0x83);
    echo(0x04, 0x84);
    echo(0x1B, 0x1B);
    echo(0x8B, 0x8B);
    echo(0xC0, 0xC0);

    if (isFinancial(kind) || kind == "PIN") {
        add(0x80, std::string(1, '\x01'));
        add(0x89, identity_.card);
        add(0x8A, "2812");
        add(0x50, "VISA CLASSIC");
        add(0xC1, "TEST CARDHOLDER");
    }
    if (isFinancial(kind) || kind == "STL") {
        char rrn[16];
        std::snprintf(rrn, sizeof rrn, "%012u", sequence_ % 1000000000u);
        add(0x98, rrn);
    }
    if (approved && isFinancial(kind)) {
        char auth[8];
        std::snprintf(auth, sizeof auth, "%06u", (sequence_ * 7919u) % 1000000u);
        add(0x8C, auth);
        add(0x92, "051");  // PIN checked online
        add(0x9F06, "A0000000031010");
        add(0x9F26, "8D2F3A41C09B7E15");
    }
    add(0x8D, date);
    add(0x8E, time);
    add(0x9D, identity_.terminalId);
    add(0x9B, code);
    if (kind == "VOI")
        add(0xA1, approved ? "Y" : "N");

    std::string text = approved ? "APPROVED" : "DECLINED";
    if (approved && kind == "VER")
        text = "PINPAD SIMULATOR 1.0";
    add(0xA0, text);

    const std::string* function = findField(request, 0x0D);
    if (kind == "FUN" && function && *function == "37") {
        // Diagnostics come as a container, and a container runs to the end of the message.
        Fields sub{Field{0x01, "1.0"}, Field{0x02, approved ? "OK" : "FAIL"}, Field{0x03, identity_.terminalId}};
        add(0xE1, encodeTlv(sub));
    }
    return out;
}

Fields Terminal::notice(const Fields& request, const std::string& kind)
{
    Fields out;
    if (kind != "-")
        out.push_back(Field{0x81, kind});
    if (const std::string* ecr = findField(request, 0x02))
        out.push_back(Field{0x82, *ecr});
    std::string date, time;
    wallClock(date, time);
    out.push_back(Field{0x8D, date});
    out.push_back(Field{0x8E, time});
    out.push_back(Field{0x9D, identity_.terminalId});
    out.push_back(Field{0x9B, "00"});
    out.push_back(Field{0xA0, "NOTICE"});
    return out;
}

void Terminal::schedule(Output out)
{
    auto at = std::upper_bound(pending_.begin(), pending_.end(), out.when,
                               [](TimePoint t, const Output& o) { return t < o.when; });
    pending_.insert(at, std::move(out));
}

TimePoint Terminal::nextDue() const
{
    return pending_.empty() ? TimePoint::max() : pending_.front().when;
}

std::vector<Output> Terminal::due(TimePoint now)
{
    std::vector<Output> out;
    while (!pending_.empty() && pending_.front().when <= now) {
        log(pending_.front().note);
        out.push_back(std::move(pending_.front()));
        pending_.pop_front();
        if (out.back().kind == Output::Close) {
            // Nothing more goes out on a connection we have closed.
            pending_.clear();
            break;
        }
    }
    return out;
}

}  // namespace pinpad
