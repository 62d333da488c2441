#include "work.h"

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <time.h>

#include "confnum.h"
#include "config.h"
#include "log.h"
#include "md5.h"
#include "myfunc.h"
#include "preg.h"

const char SERVICE_COMMANDS[] =
    "\n"
    "\n"
    "--------------------------------------------\n"
    "COMMANDS:\n"
    "h                                   - show this help\n"
    "c                                   - get config\n"
    "p                                   - put config\n"
    "v                                   - get version\n"
    "l                                   - logs list\n"
    "s [file] [start byte] [end byte]    - show log\n"
    "q                                   - quit\n"
    "\n"
    "\n";
const size_t SERVICE_COMMANDS_LEN = sizeof SERVICE_COMMANDS - 1;

namespace {

const char GREETING[] = "EFT-server. dorvish 0.481\r\n";

const char FIXED_CHECK[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"><mess><kkm>1</kkm><code>912</code>"
    "<type>0910100000</type><card>123456789012345</card>"
    "<resp>account number is not found</resp>"
    "<crc>01020304050607080910111213141516</crc></mess>";
const char FIXED_REPAY[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"><mess><kkm>1</kkm><code>912</code>"
    "<type>0910200000</type><card>123456789012345</card><amount>1000</amount>"
    "<resp>account number is not found</resp>"
    "<crc>01020304050607080910111213141516</crc></mess>";

// Error texts, code page 866.
const char TEXT_RRN_NOT_FOUND[] = "RRN \xAD\xA5 \xAD\xA0\xA9\xA4\xA5\xAD";                       // RRN не найден
const char TEXT_NO_ANSWER[] = "\x8D\xA5\xE2 \xAE\xE2\xA2\xA5\xE2\xA0 \xAE\xE2 \xAF\xA8\xAD\xAF\xA0\xA4\xA0"; // Нет ответа от пинпада
const char TEXT_INCORRECT[] = "\x8D\xA5\xA2\xA5\xE0\xAD\xEB\xA9 \xA7\xA0\xAF\xE0\xAF\xAE\xE1";    // Неверный запрпос
const char TEXT_BUSY[] = "\x8F\xA8\xAD\xAF\xA0\xA4 \xA7\xA0\xAD\xEF\xE2";                        // Пинпад занят

const char* errorText(unsigned code)
{
    switch (code) {
    case ERR_RRN_NOT_FOUND: return TEXT_RRN_NOT_FOUND;
    case ERR_NO_CONNECTION: return "";
    case ERR_NO_ANSWER: return TEXT_NO_ANSWER;
    case ERR_INCORRECT_REQUEST: return TEXT_INCORRECT;
    default: return TEXT_BUSY;
    }
}

// strtol with the 32-bit long of the deployed build, whatever the build's own long.
int32_t number(const std::string& text) { return confNumber(text); }

uint32_t millis(const std::string& text, uint32_t fallback)
{
    uint32_t v = static_cast<uint32_t>(number(text));
    return v ? v * 1000u : fallback;
}

std::string element(const char* name, const std::string& value)
{
    std::string out;
    out.reserve(value.size() + 2 * strlen(name) + 5);
    out += '<';
    out += name;
    out += '>';
    out += value;
    out += "</";
    out += name;
    out += '>';
    return out;
}

// Numbers placed into answers; every one of them fits an int.
std::string decimal(unsigned value)
{
    char buf[34];
    return ps::itoa(static_cast<int>(value), buf, 10);
}

struct kindCode {
    const char* text;
    const char* answer;
    typemess kind;
};
// Answer type codes by the kind text of field 0x81, searched in this order.
const kindCode ANSWER_TYPES[] = {
    {"PUR", "0210000000", PUR}, {"VOI", "0410000000", VOI}, {"REF", "0210200000", REF},
    {"AUT", "0210930000", AUT}, {"CMP", "0210940000", CMP}, {"STL", "0530000000", STL},
    {"VER", "0610000000", VER}, {"FUN", "0610100000", FUN}, {"PIN", "0700100000", PIN},
};

// The first kind of the table that occurs in the text of field 0x81; null for none.
const kindCode* answerKind(const std::string& text)
{
    for (const kindCode& k : ANSWER_TYPES)
        if (reg::preg_match(k.text, text))
            return &k;
    return nullptr;
}

// A trace number as a terminal writes it, digits only; false for anything else.
bool traceNumber(const std::string& text, uint32_t& out)
{
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > UINT32_MAX)
            return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

struct diagElement {
    const char* name;
    unsigned key;
};
const diagElement DIAGNOSTICS[] = {
    {"APPNAME", 0x100},        {"EMVKERNEL", 0x200},      {"CHECKSUM", 0x300},
    {"TERM1GENAC", 0x400},     {"CARD1GENAC", 0x500},     {"TERM2GENAC", 0x600},
    {"CARD2GENAC", 0x700},     {"L2DEBUG", 0x800},        {"RRN", 0x900},
    {"INVOICENUM", 0xA00},     {"AIP", 0x8200},           {"EMVAID", 0x8400},
    {"API", 0x8700},           {"RC", 0x8A00},            {"MASKAPPPAN", 0x5A00},
    {"TRANDATE", 0x9A00},      {"TSI", 0x9B00},           {"TVR", 0x9500},
    {"TRANTYPE", 0x9C00},      {"TRANCURCOD", 0x5F2A00},  {"APPPAN", 0x5F3400},
    {"AUTHAMOUNT", 0x9F0200},  {"AUTHAMOUNTOTHR", 0x9F0300}, {"AUC", 0x9F0700},
    {"IACDEFAULT", 0x9F0D00},  {"IACDENIAL", 0x9F0E00},   {"IACONLINE", 0x9F0F00},
    {"IAD", 0x9F1000},         {"TCC", 0x9F1A00},         {"PUBKEYIND", 0x9F2200},
    {"APPCRYPTO", 0x9F2600},   {"CID", 0x9F2700},         {"TERMCAPABLS", 0x9F3300},
    {"UNPREDNUM", 0x9F3700},   {"CVM", 0x9F3400},         {"APPTRANCAP", 0x9F3600},
    {"ADDTERMCOD", 0x9F4000},  {"DAC", 0x9F4500},         {"ADDTAGS", 0x9F5300},
    {"SCRIPTRESULTS", 0xDF5200},
};

struct requestKind {
    const char* code;
    typemess kind;
};
// Type codes of cash-register requests, tested in this order.
const requestKind REQUEST_TYPES[] = {
    {"0200000000", PUR}, {"0400000000", VOI}, {"0200200000", REF},
    {"0200930000", AUT}, {"0200940000", CMP}, {"0520000000", STL},
    {"0600000000", VER}, {"0600100000", FUN}, {"0700000000", PIN},
};

// The kinds a terminal charges a card for: one that was not delivered is reversed.
bool financial(typemess kind)
{
    return kind == PUR || kind == REF || kind == AUT || kind == CMP;
}

// A response code that approves.
bool approvalCode(const std::string& code)
{
    return code == "0" || code == "00" || code == "000";
}

// The count saturates: wrapping to 0 would answer 912 a second time and start
// the reversals over.
void raiseVoiCount(state* record)
{
    if (record->uVoiCount < UINT16_MAX)
        ++record->uVoiCount;
}

} // namespace

work::work()
    : bInitDone(0), psInfo(), loglevel(0), stlHour(0), stlMin(0), stl_timeout(60000), pur_timeout(60000),
      ref_timeout(60000), voi_timeout(60000), cmp_timeout(60000), png_timeout(5000), voi_repeat(0),
      png_period(30000), loadkeyon(0), stlstarton(false), stltimeon(false), utf(false), xmlport(0),
      serviceport(0)
{
    PSInit(&psInfo);
    PSStartUp(&psInfo);
}

work::~work()
{
    for (int pid : lPID)
        ps::kill(pid);
    lPID.clear();
    for (mymap<state*>::iterator it = mState.begin(); it != mState.end(); ++it)
        delete it->second;
    mState.clear();
    PSCleanup();
}

int work::init()
{
    if (bInitDone)
        return 1;
    config* cfg = config::getInstance();
    if (cfg)
        cfg->confInit(cfg->getPath());
    auto key = [cfg](const std::string& name) { return cfg ? cfg->getParam("dorvish", name) : std::string(); };

    loglevel = static_cast<uint8_t>(number(key("loglevel")));
    stl_timeout = millis(key("stl_timeout"), 60000);
    pur_timeout = millis(key("pur_timeout"), 60000);
    ref_timeout = millis(key("ref_timeout"), 60000);
    voi_timeout = millis(key("voi_timeout"), 60000);
    cmp_timeout = millis(key("cmp_timeout"), 60000);
    png_timeout = millis(key("png_timeout"), 5000);
    voi_repeat = static_cast<uint32_t>(number(key("voi_repeat")));
    png_period = millis(key("png_period"), 30000);
    loadkeyon = static_cast<uint8_t>(number(key("loadkeyon")));
    stlstarton = static_cast<uint8_t>(number(key("stlstarton"))) == 1;
    stltimeon = static_cast<uint8_t>(number(key("stltimeon"))) == 1;
    utf = static_cast<uint8_t>(number(key("utf"))) == 1;
    std::string stlTime = key("stl_time");
    stlHour = 0;
    stlMin = 0;
    if (!stlTime.empty()) {
        char** parts = ps::explode(':', stlTime.c_str(), 2, false);
        if (parts) {
            if (parts[0]) {
                stlHour = static_cast<uint8_t>(number(parts[0]));
                if (parts[1])
                    stlMin = static_cast<uint8_t>(number(parts[1]));
            }
            for (char** p = parts; *p; ++p)
                free(*p);
            free(parts);
        }
    }
    logsave("INF: time stl %02d:%02d - %s", stlHour, stlMin, stltimeon ? "on" : "off");

    xmlport = number(key("xmlport"));
    if (xmlport == 0) {
        logsave("ERR: Not specified port number (xmlport=0)");
        return 0;
    }
    if (!openListener(xmlport, CONN_CASHBOX, 50))
        return 0;
    serviceport = number(key("serviceport"));
    if (serviceport != 0 && !openListener(serviceport, CONN_SERVICE, 50))
        return 0;

    // Terminal ports are found in the section's raw text, so a port_N named only
    // in a comment still gets a listener.
    std::string body = cfg ? cfg->getSection("dorvish") : std::string();
    std::vector<std::vector<reg::group>> found;
    reg::preg_match_all("port_([0-9]+)", body, found);
    for (size_t i = 0; i < found.size(); ++i) {
        unsigned n = static_cast<unsigned>(number(found[i][1].first));
        int port = number(key(found[i][0].first));
        ssock* listener = openListener(port, CONN_TERMINAL, 2);
        if (!listener)
            return 0;
        mListen.insert(n, listener);
        state* record = new (std::nothrow) state(n);
        if (!record) {
            logsave("ERR: Failed to allocate memory (init)");
            return 0;
        }
        if (!mState.insert(n, record))
            delete record;
    }
    bInitDone = 1;
    return 1;
}

ssock* work::openListener(int port, int kind, unsigned short limit)
{
    ssock* listener = createTcp();
    if (!listener) {
        logsave("ERR: Failed to create socket (init)");
        return nullptr;
    }
    listener->setAccept(limit);
    if (!attachKind(listener, kind)) {
        logsave("ERR: Failed to allocate memory (init)");
    } else if (!listen(listener, static_cast<unsigned short>(port)) || !addSock(listener)) {
        logsave("ERR: Failed to create listening socket, port: %d", port);
    } else {
        return listener;
    }
    // Not registered: the reactor does not own it, so it is ours to close and free.
    releaseKind(listener);
    PSClose(listener->getSocket());
    delete listener;
    return nullptr;
}

int* work::attachKind(ssock* record, int kind)
{
    int* copy = new (std::nothrow) int(kind);
    if (!copy)
        return nullptr;
    kinds[record].reset(copy);
    record->setState(copy);
    return copy;
}

void work::releaseKind(ssock* record)
{
    record->setState(nullptr);
    kinds.erase(record);
}

void work::drop(ssock* record)
{
    mTerminal.delAll(record);
    mCashbox.delAll(record);
    forgetAsker(record);
    releaseKind(record);
    close(record);
}

void work::refuse(ssock* record)
{
    releaseKind(record);
    close(record);
    delete record;
}

void work::run(unsigned char* running)
{
    startThread();
    // The daemon stops on SIGTERM; one that arrives just before a wait must end it.
    wakeOn(SIGTERM);
    asock::run(running);
}

void work::OnAccept(ssock* record)
{
    char ip[16] = "";
    record->getIp(ip);
    int* inherited = static_cast<int*>(record->getState());
    if (!inherited) {
        logsave("ERR: getState()=NULL (OnAccept), IP: %s", ip);
        refuse(record);
        return;
    }
    int kind = *inherited;
    if (!attachKind(record, kind)) {
        logsave("ERR: Failed to allocate memory (OnAccept), IP: %s", ip);
        record->setState(nullptr);
        refuse(record);
        return;
    }
    switch (kind) {
    case CONN_TERMINAL: {
        ssock* parent = record->getParent();
        if (!parent) {
            logsave("ERR: 1 (OnAccept), IP: %s", ip);
            refuse(record);
            return;
        }
        unsigned n = mListen.get(parent);
        if (n == 0) {
            logsave("ERR: 2 (OnAccept), IP: %s", ip);
            refuse(record);
            return;
        }
        // A reconnecting terminal takes the place of its earlier connection, which
        // stays open until it closes or its countdown finds it orphaned.
        state* st = mState.get(n);
        // A request queued on the replaced connection will never go out from there.
        if (st && mTerminal.get(n))
            loseQueued(st);
        mTerminal.del(n);
        mTerminal.insert(n, record);
        record->setTimeout(st && (st->uLevel == STRSTL || st->uLevel == STRPROC) ? 20000 : 1000);
        if (!addSock(record)) {
            mTerminal.del(n);
            refuse(record);
            return;
        }
        logsave("Connected terminal: %08d, IP: %s", static_cast<int>(n), ip);
        break;
    }
    case CONN_CASHBOX:
        if (!addSock(record)) {
            refuse(record);
            return;
        }
        logsave("Connected cashbox, IP: %s", ip);
        record->setWrBuff(reinterpret_cast<const unsigned char*>(GREETING), sizeof GREETING - 1);
        write(record);
        break;
    case CONN_SERVICE:
        if (!addSock(record)) {
            refuse(record);
            return;
        }
        logsave("Connected service, IP: %s", ip);
        record->setWrBuff(reinterpret_cast<const unsigned char*>(SERVICE_COMMANDS),
                          static_cast<unsigned short>(SERVICE_COMMANDS_LEN));
        write(record);
        break;
    default:
        if (!addSock(record))
            refuse(record);
        break;
    }
}

void work::OnConnect(ssock*) {}

void work::OnWrite(ssock*) {}

void work::OnError(ssock*, short, const char*) {}

void work::OnClose(ssock* record)
{
    char ip[16] = "";
    record->getIp(ip);
    unsigned n = mTerminal.get(record);
    if (n)
        logsave("Close connect, terminal: %08d, IP: %s", static_cast<int>(n), ip);
    else
        logsave("Close connect, IP: %s", ip);
    int* kind = static_cast<int*>(record->getState());
    if (!kind)
        return;
    // Every entry goes: a cash register that asked for several numbers is held
    // under each of them, and none may outlive the record.
    if (*kind == CONN_TERMINAL) {
        state* st = n ? mState.get(n) : nullptr;
        if (st) {
            loseQueued(st);
            terminalLost(st);
        }
        mTerminal.delAll(record);
    } else if (*kind == CONN_CASHBOX) {
        mCashbox.delAll(record);
        forgetAsker(record);
    }
    releaseKind(record);
}

void work::OnTimeout(ssock* terminal)
{
    if (!terminal) {
        logsave("ERR: arSocket == NULL (OnTimeout)");
        return;
    }
    const int* kind = static_cast<const int*>(terminal->getState());
    if (kind && *kind == CONN_CASHBOX) {
        // Armed only while its request's terminal is gone.
        askerExpired(terminal);
        return;
    }
    // The tick; the level's actions may arm something else.
    terminal->setTimeout(1000);
    char ip[16] = "";
    terminal->getIp(ip);
    unsigned n = mTerminal.get(terminal);
    if (!n) {
        // An older connection of a terminal that has connected again.
        logsave("ERR: 1 (OnTimeout), IP: %s", ip);
        drop(terminal);
        return;
    }
    state* record = mState.get(n);
    if (!record) {
        logsave("ERR: 2 (OnTimeout), IP: %s", ip);
        drop(terminal);
        return;
    }
    std::vector<unsigned char> tlv;
    switch (record->uLevel) {
    case STRNEW:
        record->uLevel = loadkeyon ? STRKEY : stlstarton ? STRSTL : STRIDLE;
        break;
    case STRKEY:
        mProgress[record].reversible = false;
        doLoadKey(record, tlv);
        send(terminal, record, tlv, stl_timeout, true);
        break;
    case STRSTL:
        mProgress[record].reversible = false;
        doStl(record, tlv);
        send(terminal, record, tlv, stl_timeout, true);
        break;
    case STRIDLE:
        idleTick(terminal, record, n);
        break;
    case STRPROC:
        expireProc(terminal, record);
        break;
    case STRPING:
        record->uIdle = 0;
        logsave("ERR: PING (OnTimeout), IP: %s", ip);
        record->uLevel = STRIDLE;
        loseQueued(record);
        drop(terminal);
        break;
    default:
        logsave("ERR: 3 (OnTimeout), IP: %s", ip);
        drop(terminal);
        break;
    }
}

void work::idleTick(ssock* terminal, state* record, unsigned number)
{
    if (terminal->getWrLen() != 0) {
        // The request that waited behind the ping's answer goes out now.
        progress& p = mProgress[record];
        p.queued = false;
        p.accepted = false;
        p.deadline = monoNow() + record->uTimeout;
        record->uLevel = STRPROC;
        record->uIdle = 0;
        terminal->setTimeout(record->uTimeout);
        write(terminal);
        return;
    }
    record->uIdle += 1000;
    if (record->uIdle >= png_period) {
        std::vector<unsigned char> tlv;
        doPng(number, tlv);
        record->uLevel = STRPING;
        record->uIdle = 0;
        send(terminal, record, tlv, png_timeout, false); // a ping carries no trace
        return;
    }
    if (stltimeon)
        stlTimeCheck(record);
}

void work::expireProc(ssock* terminal, state* record)
{
    const uint32_t count = record->uVoiCount;
    progress& p = mProgress[record];
    switch (record->uOper) {
    case PUR:
    case REF:
    case AUT:
        // An approval that came after the 912 gets its reversal even when the count is used up.
        if (count <= voi_repeat || p.reverseAfter) {
            if (count == 0) {
                answerFailed(record);
                logsave("ERR: send autoreversal");
            }
            raiseVoiCount(record);
            sendReversal(terminal, record);
        } else {
            raiseVoiCount(record);
            record->uIdle = 0;
            record->uLevel = STRIDLE;
        }
        break;
    case VOI:
    case CMP:
        if (loglevel > 6)
            logsave("OnTimeout: need send VOI (1)");
        if (p.reverseAfter) {
            raiseVoiCount(record);
            sendReversal(terminal, record);
        } else if (p.accepted) {
            closingAnswer(record);
            record->uIdle = 0;
            record->uLevel = STRIDLE;
        } else if (count > voi_repeat) {
            raiseVoiCount(record);
            closingAnswer(record);
            record->uIdle = 0;
            record->uLevel = STRIDLE;
        } else {
            raiseVoiCount(record);
            sendReversal(terminal, record);
        }
        break;
    default:
        // STL, FUN, VER, PIN: nothing to reverse, but the request is answered.
        closingAnswer(record);
        record->uIdle = 0;
        record->uLevel = STRIDLE;
        break;
    }
}

void work::sendReversal(ssock* terminal, state* record)
{
    std::vector<unsigned char> tlv;
    doVoi(record, tlv);
    record->uIdle = 0;
    mProgress[record].reverseAfter = false;
    send(terminal, record, tlv, voi_timeout, true);
}

void work::closingAnswer(state* record)
{
    // A purchase, refund or authorisation whose reversal was refused runs on as
    // VOI; its cash register had its 912 when the reversals began, and gets none again.
    answerFailed(record);
    logsave("ERR: No answer from pinpad");
}

void work::answerFailed(const state* record)
{
    progress& p = mProgress[record];
    if (!p.awaiting)
        return;
    p.awaiting = false;
    // A financial request told "failed" must not keep an approval that comes later.
    p.reversible = financial(p.asked);
    if (p.asker) {
        p.asker->setTimeout(0);
        recordErr(p.asker, record, ERR_NO_ANSWER);
    }
}

void work::terminalLost(state* record)
{
    progress& p = mProgress[record];
    if (record->uLevel != STRPROC || !p.awaiting || !p.asker)
        return;
    const uint64_t now = monoNow();
    const uint64_t left = p.deadline > now ? p.deadline - now : 1;
    p.asker->setTimeout(left < UINT_MAX ? static_cast<unsigned>(left) : UINT_MAX);
}

void work::askerExpired(ssock* connection)
{
    connection->setTimeout(0);
    for (auto& entry : mProgress) {
        if (entry.second.asker == connection && entry.second.awaiting) {
            answerFailed(entry.first);
            logsave("ERR: No answer from pinpad");
        }
    }
}

void work::forgetAsker(const ssock* connection)
{
    for (auto& entry : mProgress)
        if (entry.second.asker == connection)
            entry.second.asker = nullptr;
}

unsigned work::numberOf(const state* record)
{
    for (mymap<state*>::iterator it = mState.begin(); it != mState.end(); ++it)
        if (it->second == record)
            return it->first;
    return 0;
}

void work::send(ssock* terminal, state* record, std::vector<unsigned char>& tlv, unsigned countdown, bool traced)
{
    mProgress[record].accepted = false;
    if (traced)
        remember(record, record->uTrace);
    terminal->setTimeout(countdown);
    sendRequest(terminal, tlv);
}

void work::remember(state* record, uint32_t trace)
{
    // Zero is what a message without a trace reads as: it proves nothing.
    if (trace == 0)
        return;
    std::vector<uint32_t>& traces = mProgress[record].traces;
    // A trace sent again becomes the newest, never a second entry.
    traces.erase(std::remove(traces.begin(), traces.end(), trace), traces.end());
    traces.push_back(trace);
    if (traces.size() > TRACES_KEPT)
        traces.erase(traces.begin());
}

bool work::earlierTrace(state* record, const std::string& text)
{
    uint32_t trace = 0;
    if (!traceNumber(text, trace) || trace == 0 || trace == record->uTrace)
        return false;
    const std::vector<uint32_t>& traces = mProgress[record].traces;
    return std::find(traces.begin(), traces.end(), trace) != traces.end();
}

bool work::ownMessage(state* record)
{
    const std::string text = fieldText(0x81);
    const std::string trace = fieldText(0x83);
    const kindCode* kind = answerKind(text);
    if (!kind) {
        logsave("ERR: unsolicited message (type %s, trace %s) ignored (OnRead)", text.c_str(), trace.c_str());
        return false;
    }
    const typemess own = record->uLevel == STRKEY ? FUN : record->uLevel == STRSTL ? STL : mProgress[record].asked;
    const bool reversing = record->uLevel == STRPROC && record->uVoiCount > 0;
    const bool ownKind = kind->kind == own || (reversing && kind->kind == VOI);
    if (!ownKind || earlierTrace(record, trace)) {
        logsave("ERR: message of another operation (type %s, trace %s) ignored (OnRead)", text.c_str(), trace.c_str());
        return false;
    }
    return true;
}

void work::loseQueued(state* record)
{
    progress& p = mProgress[record];
    if (!p.queued)
        return;
    p.queued = false;
    answerFailed(record);
}

uint64_t work::monoNow()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

struct timeval work::wallNow()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return now;
}

void work::localNow(struct tm& local, unsigned& millis)
{
    const struct timeval now = wallNow();
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    millis = static_cast<unsigned>(now.tv_usec / 1000);
}

void work::stlTimeCheck(state* record)
{
    struct tm local;
    unsigned millis = 0;
    localNow(local, millis);
    if (local.tm_hour < stlHour || (local.tm_hour == stlHour && local.tm_min < stlMin)) {
        record->bStlDone = false;
        return;
    }
    if (!record->bStlDone) {
        record->uLevel = STRSTL;
    } else if (record->uStlDay != local.tm_mday) {
        record->bStlDone = false;
        record->uLevel = STRSTL;
    }
}

void work::settled(state* record)
{
    struct tm local;
    unsigned millis = 0;
    localNow(local, millis);
    record->bStlDone = true;
    record->uStlDay = static_cast<uint8_t>(local.tm_mday);
    record->uIdle = 0;
}

void work::doLoadKey(state* record, std::vector<unsigned char>& tlv)
{
    clBuffer();
    record->uTrace = getTrace();
    addECRnumber(record->uEcr);
    addMessageId(FUN);
    addTraceNumber(record->uTrace);
    addFuncUpdateKey();
    creatData(tlv);
}

void work::doStl(state* record, std::vector<unsigned char>& tlv)
{
    clBuffer();
    record->uTrace = getTrace();
    addECRnumber(record->uEcr);
    addMessageId(STL);
    addTraceNumber(record->uTrace);
    creatData(tlv);
}

void work::doPng(unsigned number, std::vector<unsigned char>& tlv)
{
    clBuffer();
    addECRnumber(static_cast<unsigned char>(number % 100));
    addMessageId(PNG);
    creatData(tlv);
}

void work::doVoi(state* record, std::vector<unsigned char>& tlv)
{
    // The trace and amount of the request being reversed; the amount goes even when 0.
    clBuffer();
    addECRnumber(record->uEcr);
    addMessageId(VOI);
    addTraceNumber(record->uTrace);
    addTransactionAmount(record->uAmount);
    creatData(tlv);
}

void work::OnRead(ssock* record)
{
    inContainer = false;
    int* kind = static_cast<int*>(record->getState());
    if (!kind) {
        logsave("ERR: pStateTemp=NULL (OnRead)");
        drop(record);
        return;
    }
    switch (*kind) {
    case CONN_CASHBOX: readCashbox(record); break;
    case CONN_TERMINAL: readTerminal(record); break;
    case CONN_SERVICE: procService(record); break;
    default: break;
    }
    // One read is one message; nothing of it is kept for the next read.
    record->buffReCl();
}

void work::readCashbox(ssock* connection)
{
    char text[4096];
    memset(text, 0, sizeof text);
    connection->getReBuff(reinterpret_cast<unsigned char*>(text), sizeof text - 1);

    xmlfield request;
    if (parsXml(text, sizeof text - 1, &request) == 0) {
        logsave("ERR: incorrect query");
        sendErr(connection, &request, ERR_INCORRECT_REQUEST);
        return;
    }
    if (loglevel > 6)
        logsave("RequestXML=%s", text);
    if (reg::preg_match("0900100000", request.type)) {
        logsave("INF: check repayment");
        sendText(connection, std::string(FIXED_CHECK, sizeof FIXED_CHECK - 1));
        return;
    }
    if (reg::preg_match("0900200000", request.type)) {
        logsave("INF: make repayment");
        sendText(connection, std::string(FIXED_REPAY, sizeof FIXED_REPAY - 1));
        return;
    }
    unsigned n = static_cast<unsigned>(number(request.kkm));
    if (n == 0) {
        logsave("ERR: The field is not filled kkm");
        return;
    }
    state* record = mState.get(n);
    if (!record) {
        sendErr(connection, &request, ERR_NO_CONNECTION);
        logsave("ERR: cant find state object for cash number %d", static_cast<int>(n));
        return;
    }
    record->strXmlHead = request.xmlDecl;
    progress& p = mProgress[record];
    if (p.awaiting && p.asker != connection) {
        // Another register's request owes its answer to the connection that sent it,
        // so that one keeps its registration, and this one is refused on its own.
        recordErr(connection, record, ERR_PINPAD_BUSY);
        return;
    }
    ssock* old = mCashbox.get(n);
    if (old && old->getSocket() != connection->getSocket()) {
        logsave("kkm %d already connected with socket %d! Close old connection", static_cast<int>(n),
                old->getSocket());
        drop(old);
    }
    mCashbox.insert(n, connection);

    // A request already queued behind a ping makes the terminal as busy as one
    // that is at the terminal.
    const bool ready = (record->uLevel == STRIDLE || record->uLevel == STRPING) && !p.queued;
    if (ready) {
        record->uVoiCount = 0;
        unsigned short result = proc(&request, record);
        if (result) {
            sendErr(connection, &request, result);
        } else {
            p.asker = connection;
            p.awaiting = true;
        }
    } else {
        sendErr(record, ERR_PINPAD_BUSY);
    }
}

unsigned short work::proc(xmlfield* request, state* record)
{
    const requestKind* row = nullptr;
    for (size_t i = 0; i < sizeof REQUEST_TYPES / sizeof REQUEST_TYPES[0] && !row; ++i)
        if (reg::preg_match(REQUEST_TYPES[i].code, request->type))
            row = &REQUEST_TYPES[i];
    if (!row) {
        logsave("ERR: 2 (proc)");
        return ERR_UNKNOWN_TYPE;
    }
    record->uOper = row->kind;
    switch (row->kind) {
    case VOI:
        record->uTrace = static_cast<uint32_t>(number(request->trace));
        record->uTimeout = voi_timeout;
        break;
    case CMP:
        record->uTrace = static_cast<uint32_t>(number(request->trace));
        record->uTimeout = cmp_timeout;
        break;
    case REF:
        record->uTrace = getTrace();
        record->uTimeout = ref_timeout;
        break;
    case STL:
    case VER:
    case FUN:
        record->uTrace = getTrace();
        record->uTimeout = stl_timeout;
        break;
    default: // PUR, AUT, PIN
        record->uTrace = getTrace();
        record->uTimeout = pur_timeout;
        break;
    }
    record->uAmount = static_cast<uint32_t>(number(request->amount));

    clBuffer();
    addECRnumber(record->uEcr);
    addMessageId(record->uOper);
    addTraceNumber(record->uTrace);
    if (record->uOper == FUN)
        addFuncGetDiag();
    if (!request->invoice.empty())
        addInvoice(request->invoice);
    if (!request->carddataenc.empty())
        addCardDataEnc(request->carddataenc);
    if (request->chained)
        addChainedFlag();
    if (!request->currency.empty())
        addCurrency(request->currency);
    if (record->uAmount != 0)
        addTransactionAmount(record->uAmount);
    std::vector<unsigned char> tlv;
    creatData(tlv);

    ssock* terminal = mTerminal.get(static_cast<unsigned>(number(request->kkm)));
    if (!terminal) {
        logsave("ERR: 3 (proc)");
        return ERR_NO_CONNECTION;
    }
    if (loglevel > 6)
        logsave("INF1: arState = 0x%08lx, uLevel = %d (proc)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(record)),
                record->uLevel);
    progress& p = mProgress[record];
    p.accepted = false;
    p.asked = record->uOper;
    p.reversible = false;
    p.reverseAfter = false;
    remember(record, record->uTrace);
    if (record->uLevel == STRIDLE) {
        p.deadline = monoNow() + record->uTimeout;
        record->uLevel = STRPROC;
        record->uIdle = 0;
        terminal->setTimeout(record->uTimeout);
        sendRequest(terminal, tlv);
    } else {
        // Behind a ping: the frame waits in the write buffer for the ping's answer.
        if (loglevel > 6)
            logsave("INF1: createRequest (proc)");
        if (!createRequest(terminal, tlv))
            return ERR_NO_ANSWER; // never reached the terminal: nothing to reverse
        p.queued = true;
    }
    return 0;
}

bool work::createRequest(ssock* connection, std::vector<unsigned char>& tlv)
{
    std::vector<unsigned char> frame;
    mEposp << tlv;
    frame << mEposp;
    mEpost << frame;
    frame << mEpost;
    if (frame.size() > USHRT_MAX)
        return false;
    return connection->setWrBuff(frame.data(), static_cast<unsigned short>(frame.size())) != 0;
}

void work::sendRequest(ssock* connection, std::vector<unsigned char>& tlv)
{
    createRequest(connection, tlv);
    write(connection);
}

uint32_t work::getTrace()
{
    struct tm local;
    unsigned millis = 0;
    localNow(local, millis);
    char hms[16];
    strftime(hms, sizeof hms, "%H%M%S", &local);
    logsave("getTraceTime: %s", hms);
    return static_cast<uint32_t>(strtoul(hms, nullptr, 10) * 1000u + millis % 1000u);
}

void work::readTerminal(ssock* connection)
{
    unsigned char buffer[10240];
    unsigned short held = connection->getReBuff(buffer, sizeof buffer);
    if (held == 0)
        return;
    std::vector<unsigned char> bytes(buffer, buffer + held);
    std::vector<unsigned char> inner;
    std::vector<unsigned char> tlv;
    bytes >> mEpost;
    mEpost >> inner;
    inner >> mEposp;
    mEposp >> tlv;
    if (tlv.empty()) {
        logsave("Could not parse answer from port (2): %d", connection->getPort());
        return;
    }
    if (parsMessage(tlv) == 0) {
        logsave("Could not parse answer from port (1): %d", connection->getPort());
        return;
    }
    unsigned n = mTerminal.get(connection);
    if (!n) {
        logsave("ERR: socket has no cashbox number");
        drop(connection);
        return;
    }
    state* record = mState.get(n);
    if (!record) {
        logsave("ERR: not found state for pinpad");
        drop(connection);
        return;
    }
    if (loglevel > 6)
        logsave("INF1: trState = 0x%08lx, uLevel = %d (OnRead)",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(record)), record->uLevel);
    // While a step waits for its answer, only its own answer moves it on.
    if ((record->uLevel == STRKEY || record->uLevel == STRSTL || record->uLevel == STRPROC) && !ownMessage(record))
        return;
    mProgress[record].accepted = reversalAccepted();
    switch (record->uLevel) {
    case STRKEY: answerKey(connection, record); break;
    case STRSTL: answerStl(connection, record); break;
    case STRPROC: answerProc(connection, record, n); break;
    case STRPING:
        // A ping may go out between a failed purchase's last reversal and its late
        // approval: that approval is no answer to the ping, and is reversed.
        if (approvalAtRest(connection, record))
            break;
        record->uIdle = 0;
        record->uLevel = STRIDLE;
        connection->setTimeout(5000);
        break;
    case STRIDLE: approvalAtRest(connection, record); break;
    default: break; // STRNEW: parsed, nothing else
    }
}

void work::answerKey(ssock* terminal, state* record)
{
    const bool present = getField(0xEF).tag != 0;
    if (!present)
        logsave("ERR: field 0xef not found. break. (OnRead)");
    if (!present || strtol(fieldText(0xEF).c_str(), nullptr, 10) == 0) {
        record->uLevel = stlstarton ? STRSTL : STRIDLE;
        terminal->setTimeout(5000);
    } else {
        // Refused: the next expiry loads the keys again.
        terminal->setTimeout(stl_timeout);
    }
}

void work::answerStl(ssock* terminal, state* record)
{
    const bool present = getField(0x9B).tag != 0;
    const std::string code = fieldText(0x9B);
    if (!present)
        logsave("ERR: field 0x9b not found. break. (OnRead)");
    if (!present || approvalCode(code) || code == "B3") {
        settled(record);
        record->uLevel = STRIDLE;
        terminal->setTimeout(5000);
    } else {
        // Refused: the next expiry settles again.
        terminal->setTimeout(stl_timeout);
    }
}

void work::answerProc(ssock* terminal, state* record, unsigned number)
{
    if (loglevel > 6)
        logsave("INF1: case STRPROC (OnRead)");
    progress& p = mProgress[record];
    if (record->uVoiCount > 0) {
        if (loglevel > 6)
            logsave("INF1: trState->uVoiCount > 0 (OnRead)");
        const kindCode* kind = answerKind(fieldText(0x81));
        if (kind && kind->kind == VOI) {
            if (p.accepted && p.asked == VOI && p.awaiting) {
                // The register's own cancellation, done on a repetition: that is its answer.
                deliver(terminal, record, number);
                return;
            }
            if (p.accepted && !p.reverseAfter) {
                // A completion undone by its repetitions has failed.
                if (p.awaiting)
                    closingAnswer(record);
                endReversals(terminal, record);
                return;
            }
            if (p.reverseAfter || record->uVoiCount <= voi_repeat) {
                raiseVoiCount(record);
                if (loglevel > 6)
                    logsave("INF1: send VOI (1)");
                record->uOper = VOI;
                terminal->setTimeout(1000);
                return;
            }
            // Refused with the reversals used up: a register still waiting hears 912.
            raiseVoiCount(record);
            if (p.awaiting)
                closingAnswer(record);
            endReversals(terminal, record);
            return;
        }
    }
    // The request's own answer. After its 912, or while a completion is being
    // undone, it is no longer the answer to give.
    if (!p.awaiting || (record->uVoiCount > 0 && p.asked == CMP)) {
        lateAnswer(terminal, record);
        return;
    }
    deliver(terminal, record, number);
}

void work::endReversals(ssock* terminal, state* record)
{
    if (loglevel > 6)
        logsave("INF1: success VOI");
    record->uVoiCount = 0;
    record->uIdle = 0;
    record->uLevel = STRIDLE;
    terminal->setTimeout(5000);
}

void work::lateAnswer(ssock* terminal, state* record)
{
    progress& p = mProgress[record];
    logLateAnswer();
    if (!financial(p.asked)) {
        // Nothing to undo: the step is over.
        record->uIdle = 0;
        record->uLevel = STRIDLE;
        terminal->setTimeout(5000);
        return;
    }
    if (!approved())
        return; // the reversals go on as they were
    // The reversals sent so far may have reached the terminal before this approval
    // existed; one more must follow it.
    p.reverseAfter = true;
    if (record->uVoiCount == 0)
        terminal->setTimeout(1000);
}

bool work::approvalAtRest(ssock* terminal, state* record)
{
    progress& p = mProgress[record];
    if (!p.reversible)
        return false;
    const kindCode* kind = answerKind(fieldText(0x81));
    if (!kind || kind->kind != p.asked || earlierTrace(record, fieldText(0x83)) || !approved())
        return false;
    logLateAnswer();
    // Its reversals have ended; one more goes at the next expiry, and only that
    // one: the count stays used up.
    p.reverseAfter = true;
    if (record->uVoiCount <= voi_repeat)
        record->uVoiCount = voi_repeat < UINT16_MAX ? static_cast<uint16_t>(voi_repeat + 1) : UINT16_MAX;
    record->uLevel = STRPROC;
    record->uIdle = 0;
    terminal->setTimeout(1000);
    return true;
}

void work::logLateAnswer()
{
    logsave("ERR: late answer not delivered (type %s, trace %s) (OnRead)", fieldText(0x81).c_str(),
            fieldText(0x83).c_str());
}

bool work::approved()
{
    return approvalCode(fieldText(0xEF));
}

bool work::reversalAccepted()
{
    const std::string code = fieldText(0x9B);
    return fieldText(0xA1) == "Y" || code == "B4" || code == "930";
}

void work::deliver(ssock* terminal, state* record, unsigned number)
{
    // Only the connection that asked; a register that connected since did not.
    progress& p = mProgress[record];
    ssock* cashbox = p.asker;
    if (!cashbox) {
        logsave("ERR: can't find socket for kkm %d", static_cast<int>(number));
        terminal->setTimeout(1000);
        return;
    }
    if (loglevel > 6)
        logsave("INF1: createXml (OnRead)");
    std::string xml = createXml(record);
    if (loglevel != 0)
        logsave("ResponseXML=%s", xml.c_str());
    const bool placed = placeText(cashbox, xml);
    if (loglevel > 6)
        logsave("INF1: write(sockTemp) (OnRead)");
    write(cashbox);
    if (!placed) {
        // Not delivered: as for a cash register that is gone, the next expiry
        // answers 912 and reverses.
        logsave("ERR: can't put answer into socket for kkm %d", static_cast<int>(number));
        terminal->setTimeout(1000);
        return;
    }
    p.awaiting = false;
    cashbox->setTimeout(0);
    record->uIdle = 0;
    record->uLevel = STRIDLE;
    terminal->setTimeout(5000);
    if (getField(0x9B).tag == 0)
        logsave("ERR: field 0x9B not found. break. (OnRead)");
}

bool work::placeText(ssock* connection, const std::string& text)
{
    // A text the write buffer cannot take is refused whole.
    return text.size() <= USHRT_MAX &&
           connection->setWrBuff(reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<unsigned short>(text.size())) != 0;
}

void work::sendText(ssock* connection, const std::string& text)
{
    // What is pending goes out even when the text itself was refused.
    placeText(connection, text);
    write(connection);
}

unsigned short work::parsXml(char* text, unsigned short, xmlfield* out)
{
    const std::string subject = ps::utfToAscii(std::string(text));
    std::vector<std::string> groups;

    out->xmlDecl.clear();
    if (reg::preg_match("<\\?xml.+?>", subject, groups))
        out->xmlDecl = groups[0];
    if (!reg::preg_match("<mess>", subject))
        return 0;
    groups.clear();
    if (!reg::preg_match("<mess>(.+)</mess>", subject, groups))
        return 0;
    const std::string body = groups[1];

    struct item {
        const char* name;
        const char* value;
        std::string xmlfield::*member;
        bool counted;
    };
    static const item items[] = {
        {"type", "[0-9]+", &xmlfield::type, true},
        {"kkm", "[0-9]+", &xmlfield::kkm, true},
        {"amount", "[0-9]+", &xmlfield::amount, true},
        {"currency", "[0-9]+", &xmlfield::currency, true},
        {"trace", "[0-9]+", &xmlfield::trace, true},
        {"invoice", ".+", &xmlfield::invoice, false},
        {"carddataenc", ".+", &xmlfield::carddataenc, true},
        {"card", "[0-9X]+", &xmlfield::card, true},
        {"crc", "[0-9a-f]+", &xmlfield::crc, true},
        {"cardholder", ".+", &xmlfield::cardholder, true},
        {"applabel", ".+", &xmlfield::applabel, true},
        {"aid", ".+", &xmlfield::aid, true},
        {"trancert", ".+", &xmlfield::trancert, true},
        {"pem", "[0-9]+", &xmlfield::pem, true},
        {"cardid", ".+", &xmlfield::cardid, true},
    };
    unsigned short count = 0;
    for (const item& it : items) {
        groups.clear();
        std::string pattern = std::string("<") + it.name + ">(" + it.value + ")</" + it.name + ">";
        std::string& member = out->*(it.member);
        member = reg::preg_match(pattern, body, groups) ? groups[1] : std::string();
        if (it.counted && !member.empty())
            ++count;
    }
    groups.clear();
    out->chained = reg::preg_match("<chained>([0-1]+)</chained>", body, groups) && groups[1] == "1";
    return count;
}

std::string work::toWire(const std::string& text, const char* from, const char* to)
{
    if (!utf || text.empty())
        return text;
    const size_t limit = text.size() * 2 < 1024 ? text.size() * 2 : 1024;
    // Every code page 866 character takes at most 3 bytes in UTF-8. The text holds
    // no NUL, so the converted length is where the zeroed buffer's NULs begin.
    std::vector<char> out(text.size() * 3 + 1, '\0');
    std::vector<char> in(text.begin(), text.end());
    ps::codepage(from, in.data(), static_cast<unsigned>(in.size()), to, out.data(),
                 static_cast<unsigned>(out.size() - 1));
    size_t used = strnlen(out.data(), out.size());
    // The padded fixed length when the text fits it; otherwise the whole text, so
    // no document is ever cut short of its closing tag.
    std::string wire(out.data(), used);
    if (used < limit)
        wire.append(limit - used, '\0');
    return wire;
}

void work::sendErr(ssock* connection, xmlfield* request, unsigned code)
{
    std::string built = request->xmlDecl;
    built += "<mess>";
    built += element("code", decimal(code));
    built += element("kkm", request->kkm);
    built += element("resp", errorText(code));
    CMD5 md5;
    built += element("crc", md5.getHashFromString(decimal(code) + request->kkm));
    built += "</mess>\r\n\r\n";
    std::string wire = toWire(built, "cp866", "utf-8");
    if (loglevel != 0)
        logsave("ResponseXML=%s", built.c_str());
    sendText(connection, wire);
}

void work::sendErr(state* record, unsigned code)
{
    // The register of the full number: uEcr is all the document carries, but
    // terminal 101 is not register 1.
    ssock* connection = mCashbox.get(numberOf(record));
    if (connection)
        recordErr(connection, record, code);
}

void work::recordErr(ssock* connection, const state* record, unsigned code)
{
    xmlfield request;
    request.xmlDecl = record->strXmlHead;
    request.kkm = decimal(record->uEcr);
    sendErr(connection, &request, code);
}

std::string work::createXml(state* record)
{
    auto text = [this](unsigned key) { return fieldText(key); };

    const kindCode* kind = answerKind(text(0x81));
    if (!kind) {
        logsave("ERR: uncknowb ans type message");
        return std::string();
    }
    const char* answerType = kind->answer;

    const std::string code = (record->uOper == VER || record->uOper == FUN) ? std::string("1") : text(0xEF);
    const std::string card = text(0x89);
    std::string scheme = card;
    scheme.resize(scheme.size() < 11 ? 11 : scheme.size() + 1, '\0');
    getCardType(&scheme[0]);
    scheme.resize(strlen(scheme.c_str()));
    const std::string amount = text(0x84);
    const std::string kkm = decimal(record->uEcr);
    std::string trace = text(0x83);
    if (trace.empty())
        trace = decimal(record->uTrace);
    const std::string tdt = text(0xEE);
    const std::string expdt = text(0x8A);
    const std::string rrn = text(0x98);
    const std::string auth = text(0x8C);
    const std::string invoice = text(0x8B);
    field cardId = getField(0x80);
    char cardIdHex[3] = "00";
    if (cardId.tag != 0)
        snprintf(cardIdHex, sizeof cardIdHex, "%02x", cardId.value[0]);

    std::string xml = record->strXmlHead;
    xml += "<mess>";
    xml += element("code", code);
    xml += element("type", answerType);
    xml += element("cardtype", scheme);
    xml += element("card", maskCard(card));
    xml += element("amount", amount);
    xml += element("currency", text(0x1B));
    xml += element("kkm", kkm);
    xml += element("track3", text(0x87));
    xml += element("trace", trace);
    xml += element("tdt", tdt);
    xml += element("expdt", expdt);
    xml += element("rrn", rrn);
    xml += element("auth", auth);
    xml += element("termid", text(0x9D));
    xml += element("resp", text(0xA0));
    xml += element("cardholder", text(0xC1));
    xml += element("carddataenc", text(0xC0));
    xml += element("applabel", text(0x50));
    xml += element("aid", text(0x9F06));
    xml += element("trancert", text(0x9F26));
    xml += element("pem", text(0x92));
    xml += element("hash", text(0xC2));
    xml += element("cardid", cardIdHex);
    xml += element("invoice", invoice);
    if (record->uOper == FUN) {
        for (const diagElement& d : DIAGNOSTICS) {
            field f = getField(d.key);
            std::string hex;
            if (f.tag != 0 && f.value.size() > 1) {
                // The reader stores a NUL behind every value; it is not part of the data.
                const size_t n = f.value.size() - 1;
                std::vector<char> out(2 * n + 1);
                ps::hexToStr(f.value.data(), static_cast<unsigned short>(n), out.data(),
                             static_cast<unsigned short>(out.size()));
                hex.assign(out.data(), 2 * n);
            }
            xml += element(d.name, hex);
        }
    }
    CMD5 md5;
    xml += element("crc", md5.getHashFromString(code + answerType + card + amount + kkm + tdt + expdt + rrn + invoice + auth));
    xml += "</mess>\r\n\r\n";
    return toWire(xml, "CP866", "UTF-8");
}
