#include "epmess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "confnum.h"
#include "config.h"
#include "log.h"
#include "myfunc.h"

namespace {

const char* const arrMessText[14] = {"PUR", "VOI", "REF", "STL", "AUT", "CMP", "PNG",
                                     "FUN", "IND", "JRN", "VER", "PIN", "VER", "NUL"};

// Approval texts in code page 866: "ОДОБРЕНО С ПИН" and "ОДОБРЕНО".
const unsigned char approvedPinText[] = {0x8E, 0x84, 0x8E, 0x81, 0x90, 0x85, 0x8D,
                                         0x8E, 0x20, 0x91, 0x20, 0x8F, 0x88, 0x8D};
const unsigned char approvedText[] = {0x8E, 0x84, 0x8E, 0x81, 0x90, 0x85, 0x8D, 0x8E};

const unsigned TAG_CONTAINER = 0xE1;
const unsigned TAG_DATE = 0x8D;
const unsigned TAG_TIME = 0x8E;
const unsigned TAG_RESPCODE = 0x9B;
const unsigned TAG_PEM = 0x92;
const unsigned TAG_TEXT = 0xA0;
const unsigned TAG_DATETIME = 0xEE;
const unsigned TAG_NORMCODE = 0xEF;
const unsigned TAG_PAN = 0x89;
const unsigned TAG_KIND = 0x81;

// Text of a stored value: its bytes up to the first NUL (or all of them).
std::string textOf(const std::vector<unsigned char>& value)
{
    size_t n = 0;
    while (n < value.size() && value[n] != 0)
        ++n;
    return std::string(value.begin(), value.begin() + n);
}

std::vector<unsigned char> withNul(const std::string& text)
{
    std::vector<unsigned char> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

std::string tagLabel(unsigned tag)
{
    char buf[16];
    snprintf(buf, sizeof buf, tag > 0xFF ? "(%04x)" : "(%02x)", tag);
    return buf;
}

std::string sizeLabel(unsigned long long size)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%llu bytes", size);
    return buf;
}

}  // namespace

bool hasSymbolic(const char* text)
{
    if (!text)
        return false;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return true;
    }
    return false;
}

epmess::epmess()
    : logLevel(0), maskHead(4), maskTail(4), successLog(false), inContainer(false)
{
    config* cfg = config::getInstance();
    if (!cfg)
        return;
    std::string text = cfg->getParam("dorvish", "success_log");
    successLog = confNumber(text) == 1;

    text = cfg->getParam("dorvish", "loglevel");
    logLevel = static_cast<uint8_t>(confNumber(text));

    text = cfg->getParam("dorvish", "mask");
    if (text.empty())
        return;
    char** parts = ps::explode('X', text.c_str(), 2, false);
    if (!parts)
        return;
    if (parts[0]) {
        maskHead = static_cast<uint8_t>(confNumber(parts[0]));
        if (parts[1]) {
            // A tail of 0 would show no end digits at all; keep the default then.
            uint8_t tail = static_cast<uint8_t>(confNumber(parts[1]));
            maskTail = tail ? tail : 4;
        }
    }
    for (char** p = parts; *p; ++p)
        free(*p);
    free(parts);
}

epmess::~epmess() {}

void epmess::clBuffer()
{
    requestFields.clear();
    responseFields.clear();
}

const char* epmess::getMessText(typemess kind, char* dst)
{
    // A kind outside the table (a corrupted record) gets the empty text, not a wild read.
    const unsigned k = static_cast<unsigned>(kind);
    const char* text = k < 14 ? arrMessText[k] : "";
    if (dst)
        strcpy(dst, text);
    return text;
}

field epmess::getField(unsigned key, fieldmap& map)
{
    fieldmap::const_iterator it = map.find(key);
    if (it == map.end())
        return field();
    return it->second;
}

field epmess::getField(unsigned key)
{
    return getField(key, responseFields);
}

int epmess::getField(unsigned key, char* dst, size_t dstSize)
{
    fieldmap::const_iterator it = responseFields.find(key);
    if (it == responseFields.end() || it->second.tag == 0)
        return 0;
    const std::vector<unsigned char>& v = it->second.value;
    if (!v.empty() && dst && dstSize > 0) {
        // Terminal values may be longer than the caller's buffer: cut them to fit, and
        // keep the result a text.
        size_t n = v.size() < dstSize ? v.size() : dstSize - 1;
        memcpy(dst, v.data(), n);
        if (n < dstSize && (n == 0 || dst[n - 1] != 0))
            dst[n] = 0;
    }
    return static_cast<int>(v.size());
}

std::string epmess::fieldText(unsigned key)
{
    return textOf(getField(key).value);
}

void epmess::setField(unsigned key, std::vector<unsigned char> value, fieldmap& map)
{
    field& f = map[key];
    f.tag = static_cast<uint16_t>(key & 0xFFFF);
    f.value = std::move(value);
}

void epmess::setField(unsigned key, std::vector<unsigned char> value)
{
    setField(key, std::move(value), responseFields);
}

void epmess::insertField(fieldmap& map, unsigned key, uint16_t tag,
                         std::vector<unsigned char> value)
{
    // The first field under a key stays.
    map.emplace(key, field(tag, std::move(value)));
}

void epmess::addMessageId(typemess kind)
{
    const char* text = getMessText(kind);
    insertField(requestFields, 0x01, 0x01, std::vector<unsigned char>(text, text + strlen(text)));
}

void epmess::addECRnumber(unsigned char number)
{
    addField(0x02, 2, number);
}

void epmess::addTraceNumber(unsigned number)
{
    addField(0x03, 10, number);
}

void epmess::addTransactionAmount(unsigned amount)
{
    addField(0x04, 12, amount);
}

void epmess::addChainedFlag()
{
    insertField(requestFields, 0x08, 0x08, std::vector<unsigned char>{0x01, 0x00, 0x00});
}

void epmess::addFuncGetDiag()
{
    insertField(requestFields, 0x0D, 0x0D, std::vector<unsigned char>{'3', '7'});
}

void epmess::addFuncUpdateKey()
{
    insertField(requestFields, 0x0D, 0x0D, std::vector<unsigned char>{'0', '7'});
}

void epmess::addCurrency(const std::string& currency)
{
    insertField(requestFields, 0x1B, 0x1B,
                std::vector<unsigned char>(currency.begin(), currency.end()));
}

void epmess::addInvoice(const std::string& invoice)
{
    insertField(requestFields, 0x8B, 0x8B,
                std::vector<unsigned char>(invoice.begin(), invoice.end()));
}

void epmess::addCardDataEnc(const std::string& data)
{
    insertField(requestFields, 0xC0, 0xC0, std::vector<unsigned char>(data.begin(), data.end()));
}

void epmess::addField(unsigned char tag, unsigned char width, unsigned value)
{
    // The terminal reads the numbers as signed 32-bit; a longer text is cut to the width.
    char buf[300];
    snprintf(buf, sizeof buf, "%0*d", static_cast<int>(width), static_cast<int32_t>(value));
    size_t len = strlen(buf);
    if (len > width)
        len = width;
    insertField(requestFields, tag, tag, std::vector<unsigned char>(buf, buf + len));
}

void epmess::logTraffic(const std::string& line)
{
    // Ping traffic would flood the log at normal levels.
    if (logLevel <= 3 && line.find("PNG") != std::string::npos)
        return;
    logsave("%s", line.c_str());
}

void epmess::creatData(std::vector<unsigned char>& out)
{
    out.clear();
    std::string line = "<- ";
    for (fieldmap::const_iterator it = requestFields.begin(); it != requestFields.end(); ++it) {
        const field& f = it->second;
        // Request tags are one byte; a wider one is still written whole, never cut.
        if (f.tag > 0xFF)
            out.push_back(static_cast<unsigned char>(f.tag >> 8));
        out.push_back(static_cast<unsigned char>(f.tag & 0xFF));

        const unsigned long long n = f.value.size();
        if (n < 0x80) {
            out.push_back(static_cast<unsigned char>(n));
        } else {
            unsigned bytes = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : n <= 0xFFFFFF ? 3 : 4;
            out.push_back(static_cast<unsigned char>(0x80 + bytes));
            for (unsigned i = bytes; i > 0; --i)
                out.push_back(static_cast<unsigned char>((n >> (8 * (i - 1))) & 0xFF));
        }
        out.insert(out.end(), f.value.begin(), f.value.end());

        line += tagLabel(f.tag);
        line += n <= 127 ? textOf(f.value) : sizeLabel(n);
    }
    logTraffic(line);
}

uint8_t epmess::parsMessage(const std::vector<unsigned char>& in)
{
    std::string line = "-> ";
    responseFields.clear();
    bool dateMark = false, timeMark = false, codeMark = false, approved = false;
    unsigned count = 0;
    const size_t size = in.size();
    size_t p = 0;

    while (p < size) {
        unsigned tag = in[p];
        if ((tag & 0x1F) == 0x1F) {
            if (size - p < 2)
                return 0;
            tag = tag * 256 + in[p + 1];
            p += 2;
        } else {
            p += 1;
        }

        if (p >= size)
            return 0;
        const unsigned char first = in[p++];
        unsigned long long len = first;
        if (first >= 0x80) {
            logsave("INF: field length > 0x7f");
            const unsigned n = first - 0x80;
            if (n > 4 || size - p < n)
                return 0;
            len = 0;
            for (unsigned i = 0; i < n; ++i)
                len = (len << 8) | in[p++];
        }

        if (tag == TAG_CONTAINER) {
            // Everything up to the end of the message belongs to the container.
            inContainer = true;
            continue;
        }

        // Compared in 64 bits, so a length near 2^32 cannot wrap on a 32-bit size_t.
        if (len > static_cast<unsigned long long>(size - p))
            return 0;
        std::vector<unsigned char> value(in.begin() + p, in.begin() + p + static_cast<size_t>(len));
        value.push_back(0);
        p += static_cast<size_t>(len);
        const std::string text = textOf(value);

        if (tag == TAG_TIME)
            timeMark = true;
        else if (tag == TAG_DATE)
            dateMark = true;
        else if (tag == TAG_RESPCODE) {
            std::string code = "912";
            if (!text.empty() && !hasSymbolic(text.c_str())) {
                code = text;
                if (text == "0" || text == "00" || text == "000")
                    approved = true;
            }
            addNewRespTag(code);
            codeMark = true;
        }

        const unsigned key = inContainer ? tag << 8 : tag;
        insertField(responseFields, key, static_cast<uint16_t>(tag), std::move(value));
        ++count;

        line += tagLabel(tag);
        line += len + 1 <= 127 ? text : sizeLabel(len + 1);
    }

    logTraffic(line);
    if (!codeMark)
        addNewRespTag("912");
    if (approved) {
        setApprovedPin();
        createSuccessLog();
    }
    checkResponseText();
    if (dateMark && timeMark)
        checkDateTime();
    else
        createDateTime();
    // Saturated, not wrapped: a count of 0 would make a valid answer of 256 fields
    // look rejected.
    return static_cast<uint8_t>(count < UINT8_MAX ? count : UINT8_MAX);
}

void epmess::addNewRespTag(std::string code)
{
    insertField(responseFields, TAG_NORMCODE, TAG_NORMCODE, withNul(code));
}

void epmess::setApprovedPin()
{
    field pem = getField(TAG_PEM);
    if (pem.tag == 0)
        return;
    long n = 0;
    if (pem.value.size() >= 3) {
        // The PIN flag is the number from the third character on.
        std::vector<unsigned char> rest(pem.value.begin() + 2, pem.value.end());
        n = strtol(textOf(rest).c_str(), nullptr, 10);
    }
    std::vector<unsigned char> text;
    if (n == 1)
        text.assign(approvedPinText, approvedPinText + sizeof approvedPinText);
    else
        text.assign(approvedText, approvedText + sizeof approvedText);
    text.push_back(0);
    setField(TAG_TEXT, text);
}

void epmess::checkResponseText()
{
    // The terminal's own text (or the approval text) is what the cash register shows;
    // nothing here overrides it.
}

void epmess::checkDateTime()
{
    char year[20] = "";
    ps::getTimeLocal("%y", year, sizeof year);
    std::string text = year;
    text += fieldText(TAG_DATE);
    text += fieldText(TAG_TIME);
    text += "00";
    insertField(responseFields, TAG_DATETIME, TAG_DATETIME, withNul(text));
}

void epmess::createDateTime()
{
    char now[20] = "";
    ps::getTimeLocal("%y%m%d%H%M%S", now, sizeof now);
    insertField(responseFields, TAG_DATETIME, TAG_DATETIME, withNul(now));
}

void epmess::getCardType(char* text)
{
    if (!text)
        return;
    const char* name = "UNKNOWN";
    switch (text[0]) {
    case '4':
        name = "VISA";
        break;
    case '5':
        name = "MASTERCARD";
        break;
    case '6':
        name = "MAESTRO";
        break;
    case '3':
        if (text[1] == '7' || text[1] == '4')
            name = "AMEX";
        break;
    default:
        break;
    }
    strcpy(text, name);
}

std::string epmess::maskCard(std::string card)
{
    if (card.find('X') != std::string::npos)
        return card;
    const size_t len = card.size();
    const size_t head = maskHead, tail = maskTail;
    if (head + tail < len) {
        for (size_t i = head; i < len - tail; ++i)
            card[i] = 'X';
    }
    return card;
}

void epmess::createSuccessLog()
{
    char buf[256];
    memset(buf, 0, sizeof buf);
    getField(TAG_KIND, buf);
    if (strcmp(buf, "PUR") != 0)
        return;

    static const struct {
        const char* name;
        unsigned key;
    } items[12] = {{"TERM", 0x9D},   {"DATE", 0x8D},         {"TIME", 0x8E},
                   {"AMOUNT", 0x84}, {"PAN", TAG_PAN},       {"CARDID", 0x80},
                   {"RRN", 0x98},    {"STRACE", 0x83},       {"AUTH", 0x8C},
                   {"CARDHOLDER", 0xC1}, {"AID", 0x9F06},    {"TRANCERT", 0x9F26}};

    std::string line;
    for (const auto& item : items) {
        memset(buf, 0, sizeof buf);
        getField(item.key, buf);
        line += item.name;
        line += '(';
        if (item.key == TAG_PAN) {
            line += maskCard(buf);
        } else if (item.key == 0x80) {
            // The scheme comes from the card number, never from the terminal's card id.
            memset(buf, 0, sizeof buf);
            getField(TAG_PAN, buf);
            getCardType(buf);
            line += buf;
        } else {
            line += buf;
        }
        line += ");";
    }
    if (!successLog)
        return;

    char date[20] = "";
    ps::getTimeLocal("%Y%m%d", date, sizeof date);
    char name[64];
    snprintf(name, sizeof name, "success_%s.log", date);
    // Cardholder names and card numbers: never readable or writable by others,
    // whatever the process's mask.
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return;
    FILE* f = fdopen(fd, "a");
    if (!f) {
        close(fd);
        return;
    }
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
}
