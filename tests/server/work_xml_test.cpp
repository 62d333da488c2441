// The cash-register documents: the request parser and the answer builders,
// driven directly on socket pairs.
#include <gtest/gtest.h>

#include <functional>

#include "md5.h"
#include "work_peer.h"

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
// Code page 866 texts of the server.
const std::string CP_INCORRECT = "\x8D\xA5\xA2\xA5\xE0\xAD\xEB\xA9 \xA7\xA0\xAF\xE0\xAF\xAE\xE1";
const std::string CP_BUSY = "\x8F\xA8\xAD\xAF\xA0\xA4 \xA7\xA0\xAD\xEF\xE2";
const std::string CP_NO_ANSWER = "\x8D\xA5\xE2 \xAE\xE2\xA2\xA5\xE2\xA0 \xAE\xE2 \xAF\xA8\xAD\xAF\xA0\xA4\xA0";
const std::string CP_RRN = "RRN \xAD\xA5 \xAD\xA0\xA9\xA4\xA5\xAD";
const std::string UTF_INCORRECT = "Неверный запрпос";

std::string md5(const std::string& s)
{
    CMD5 m;
    return m.getHashFromString(s);
}

std::vector<unsigned char> value(const std::string& text)
{
    std::vector<unsigned char> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

std::string el(const std::string& name, const std::string& v) { return "<" + name + ">" + v + "</" + name + ">"; }

// The configuration singleton is process-wide; every test starts without a file.
struct freshConfig {
    freshConfig() { config::free(); }
};

class WorkXml : public ::testing::Test {
protected:
    freshConfig cfg;
    scratchDir dir;
    work core;

    epmess& codec() { return workPeer::codec(core); }
    void set(unsigned key, const std::string& text) { codec().setField(key, value(text)); }
};

// --- request parser ---------------------------------------------------------

struct parseCase {
    const char* name;
    std::string text;
    unsigned short count;
    std::function<void(const xmlfield&)> check;
};

TEST_F(WorkXml, ParsesRequests)
{
    const std::string plugin = DECL + "\n<mess>\n    <type>0200000000</type>\n    <amount>1000</amount>\n"
                                      "    <currency>643</currency>\n    <kkm>01</kkm>\n</mess>\n";
    const parseCase cases[] = {
        {"plug-in request", plugin, 4,
         [](const xmlfield& f) {
             EXPECT_EQ(DECL, f.xmlDecl);
             EXPECT_EQ("0200000000", f.type);
             EXPECT_EQ("1000", f.amount);
             EXPECT_EQ("643", f.currency);
             EXPECT_EQ("01", f.kkm);
             EXPECT_EQ("", f.trace);
         }},
        {"no declaration", plugin.substr(DECL.size()), 4, [](const xmlfield& f) { EXPECT_EQ("", f.xmlDecl); }},
        {"empty mess", DECL + "<mess></mess>", 0, [](const xmlfield& f) { EXPECT_EQ(DECL, f.xmlDecl); }},
        {"no mess", "<kkm>1</kkm>", 0, [](const xmlfield& f) { EXPECT_EQ("", f.kkm); }},
        {"no closing tag", "<mess><kkm>1</kkm>", 0, [](const xmlfield& f) { EXPECT_EQ("", f.kkm); }},
        {"only uncounted", "<mess><invoice>7</invoice><chained>1</chained></mess>", 0,
         [](const xmlfield& f) {
             EXPECT_EQ("7", f.invoice);
             EXPECT_TRUE(f.chained);
         }},
        {"kkm 0 counts", "<mess><kkm>0</kkm></mess>", 1, [](const xmlfield& f) { EXPECT_EQ("0", f.kkm); }},
        {"value outside its class", "<mess><kkm> 1</kkm><amount>10.5</amount><card>12x4</card><type>1</type></mess>", 1,
         [](const xmlfield& f) {
             EXPECT_EQ("", f.kkm);
             EXPECT_EQ("", f.amount);
             EXPECT_EQ("", f.card);
         }},
        {"two aid", "<mess><aid>a</aid> <aid>b</aid></mess>", 1,
         [](const xmlfield& f) { EXPECT_EQ("a</aid> <aid>b", f.aid); }},
        {"two kkm, first malformed", "<mess><kkm>1a</kkm><kkm>7</kkm></mess>", 1,
         [](const xmlfield& f) { EXPECT_EQ("7", f.kkm); }},
        {"upper-case crc", "<mess><crc>ABCD</crc><kkm>1</kkm></mess>", 1, [](const xmlfield& f) { EXPECT_EQ("", f.crc); }},
        {"masked card", "<mess><card>1234XXXX5678</card></mess>", 1,
         [](const xmlfield& f) { EXPECT_EQ("1234XXXX5678", f.card); }},
        {"markup and non-ASCII pass through", "<mess><invoice>a<b&c\xE0\xFF</invoice><cardholder>\xC0\x80&lt;</cardholder></mess>", 1,
         [](const xmlfield& f) {
             EXPECT_EQ("a<b&c\xE0\xFF", f.invoice);
             EXPECT_EQ("\xC0\x80&lt;", f.cardholder);
         }},
        {"every element malformed",
         "<mess><type>x</type><kkm></kkm><amount>-1</amount><currency>a</currency><trace> </trace>"
         "<carddataenc></carddataenc><card>y</card><crc>G</crc><cardholder></cardholder><applabel></applabel>"
         "<aid></aid><trancert></trancert><pem>p</pem><cardid></cardid><type >1</type></mess>",
         0, [](const xmlfield& f) { EXPECT_EQ("", f.type); }},
        {"all counted elements",
         "<mess><type>1</type><kkm>2</kkm><amount>3</amount><currency>4</currency><trace>5</trace>"
         "<carddataenc>6</carddataenc><card>7X</card><crc>8f</crc><cardholder>9</cardholder><applabel>a</applabel>"
         "<aid>b</aid><trancert>c</trancert><pem>13</pem><cardid>d</cardid><invoice>i</invoice></mess>",
         14, [](const xmlfield& f) { EXPECT_EQ("i", f.invoice); }},
    };
    for (const parseCase& c : cases) {
        SCOPED_TRACE(c.name);
        xmlfield f;
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        EXPECT_EQ(c.count, core.parsXml(text.data(), static_cast<unsigned short>(c.text.size()), &f));
        c.check(f);
    }
}

TEST_F(WorkXml, ChainedFlagOnlyForOne)
{
    const std::pair<const char*, bool> cases[] = {{"1", true}, {"0", false}, {"01", false}, {"11", false}, {"2", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        std::string text = std::string("<mess><kkm>1</kkm><chained>") + c.first + "</chained></mess>";
        xmlfield f;
        core.parsXml(&text[0], 0, &f);
        EXPECT_EQ(c.second, f.chained);
    }
}

TEST_F(WorkXml, TextEndsAtFirstNul)
{
    char text[] = "<mess><kkm>5</kkm>\0<type>1</type></mess>";
    xmlfield f;
    EXPECT_EQ(0, core.parsXml(text, sizeof text - 1, &f));
    EXPECT_EQ("", f.kkm);
}

// --- error answers -----------------------------------------------------------

struct errCase {
    const char* name;
    unsigned code;
    std::string decl;
    std::string kkm;
    std::string text;
};

TEST_F(WorkXml, ErrorAnswersInCodePage866)
{
    const errCase cases[] = {
        {"incorrect request", 913, DECL, "", CP_INCORRECT},
        {"no connection, kkm echoed", 911, "", "007", ""},
        {"no answer", 912, "", "1", CP_NO_ANSWER},
        {"busy", 914, DECL, "12", CP_BUSY},
        {"unknown type", 2, "", "3", CP_BUSY},
        {"rrn not found", 910, "", "4", CP_RRN},
    };
    for (const errCase& c : cases) {
        SCOPED_TRACE(c.name);
        pairConn conn;
        xmlfield request;
        request.xmlDecl = c.decl;
        request.kkm = c.kkm;
        core.sendErr(conn.record, &request, c.code);
        const std::string code = std::to_string(c.code);
        EXPECT_EQ(c.decl + "<mess>" + el("code", code) + el("kkm", c.kkm) + el("resp", c.text) +
                      el("crc", md5(code + c.kkm)) + "</mess>\r\n\r\n",
                  conn.received());
    }
}

TEST_F(WorkXml, IncorrectRequestAnswerSizes)
{
    pairConn plain;
    xmlfield request;
    request.xmlDecl = DECL;
    core.sendErr(plain.record, &request, 913);
    const std::string cp = plain.received();
    EXPECT_EQ(154u, cp.size());
    EXPECT_NE(std::string::npos, cp.find(el("crc", md5("913"))));

    workPeer::setUtf(core, true);
    pairConn utf;
    core.sendErr(utf.record, &request, 913);
    const std::string wire = utf.received();
    ASSERT_EQ(308u, wire.size());
    const std::string text = DECL + "<mess><code>913</code><kkm></kkm>" + el("resp", UTF_INCORRECT) +
                             el("crc", md5("913")) + "</mess>\r\n\r\n";
    EXPECT_EQ(169u, text.size());
    EXPECT_EQ(text, wire.substr(0, 169));
    EXPECT_EQ(std::string(139, '\0'), wire.substr(169));
}

// With utf on, an answer goes out padded to min(2n, 1024) when its UTF-8 form
// fits, and whole, unpadded, when it does not: never cut.
TEST_F(WorkXml, ConvertedAnswersAreNeverCut)
{
    workPeer::setUtf(core, true);
    struct sizeCase {
        const char* name;
        std::string decl;
        bool padded;
        size_t wireSize; // when padded
    };
    const std::string box(300, '\xB3'); // pseudo-graphics: three UTF-8 bytes each
    const sizeCase cases[] = {
        {"fits under 1024", std::string(600, 'a'), true, 1024},
        {"longer than 1024", std::string(1100, 'a'), false, 0},
        {"longer than 2n", "<?" + box + "?>", false, 0},
    };
    for (const sizeCase& c : cases) {
        SCOPED_TRACE(c.name);
        pairConn conn;
        xmlfield request;
        request.xmlDecl = c.decl;
        core.sendErr(conn.record, &request, 913);
        const std::string wire = conn.received();
        const std::string end = "</mess>\r\n\r\n";
        if (c.padded) {
            ASSERT_EQ(c.wireSize, wire.size());
            const size_t close = wire.find(end);
            ASSERT_NE(std::string::npos, close);
            EXPECT_EQ(std::string(wire.size() - close - end.size(), '\0'), wire.substr(close + end.size()));
        } else {
            ASSERT_GE(wire.size(), end.size());
            EXPECT_EQ(end, wire.substr(wire.size() - end.size()));
        }
    }
}

// The register of the full number gets it; the document still names N modulo 100.
TEST_F(WorkXml, ErrorThroughRecordGoesToTheRegisterOfTheFullNumber)
{
    struct numberCase {
        unsigned n;
        const char* kkm;
    };
    const numberCase cases[] = {{107, "7"}, {100, "0"}, {7, "7"}};
    for (const numberCase& c : cases) {
        SCOPED_TRACE(c.n);
        state* record = new state(c.n);
        record->strXmlHead = DECL;
        workPeer::states(core).insert(c.n, record);
        core.sendErr(record, 914); // nobody registered: dropped

        pairConn full, modulo;
        workPeer::cashboxes(core).insert(c.n, full.record);
        if (c.n % 100 != c.n && c.n % 100 != 0)
            workPeer::cashboxes(core).insert(c.n % 100, modulo.record);
        core.sendErr(record, 914);
        EXPECT_EQ(DECL + "<mess>" + el("code", "914") + el("kkm", c.kkm) + el("resp", CP_BUSY) +
                      el("crc", md5(std::string("914") + c.kkm)) + "</mess>\r\n\r\n",
                  full.received());
        EXPECT_EQ("", modulo.received());
        workPeer::cashboxes(core).delAll(full.record);
        workPeer::cashboxes(core).delAll(modulo.record);
    }
}

TEST_F(WorkXml, ErrorAnswerLoggedAsBuiltWhenLogging)
{
    xmlfield request;
    request.kkm = "5";
    pairConn quiet;
    core.sendErr(quiet.record, &request, 911);
    EXPECT_EQ(std::string::npos, dir.log().find("ResponseXML="));

    workPeer::setLoglevel(core, 1);
    workPeer::setUtf(core, true);
    pairConn loud;
    core.sendErr(loud.record, &request, 914);
    EXPECT_NE(std::string::npos, dir.log().find("ResponseXML=<mess><code>914</code><kkm>5</kkm><resp>" + CP_BUSY));
}

// --- ResponseXML -------------------------------------------------------------

TEST_F(WorkXml, FullPurchaseAnswer)
{
    const std::string approved = "\x8E\x84\x8E\x81\x90\x85\x8D\x8E";
    set(0x81, "PUR");
    set(0xEF, "00");
    set(0x89, "4111111111111111");
    set(0x84, "000000010000");
    set(0x1B, "643");
    set(0x87, "T3");
    set(0x83, "123456");
    set(0xEE, "151231235959");
    set(0x8A, "2512");
    set(0x98, "RRN123");
    set(0x8C, "AUTH01");
    set(0x9D, "TERM0001");
    set(0xA0, approved);
    set(0xC1, "IVANOV");
    set(0xC0, "ENC");
    set(0x50, "VISA CLASSIC");
    set(0x9F06, "A0000000031010");
    set(0x9F26, "CERT");
    set(0x92, "051");
    set(0xC2, "HASH");
    codec().setField(0x80, {0x0A, 0x00});
    set(0x8B, "INV7");
    state record(107);
    record.strXmlHead = DECL;
    record.uOper = PUR;

    const std::string expected =
        DECL + "<mess>" + el("code", "00") + el("type", "0210000000") + el("cardtype", "VISA") +
        el("card", "4111XXXXXXXX1111") + el("amount", "000000010000") + el("currency", "643") + el("kkm", "7") +
        el("track3", "T3") + el("trace", "123456") + el("tdt", "151231235959") + el("expdt", "2512") +
        el("rrn", "RRN123") + el("auth", "AUTH01") + el("termid", "TERM0001") + el("resp", approved) +
        el("cardholder", "IVANOV") + el("carddataenc", "ENC") + el("applabel", "VISA CLASSIC") +
        el("aid", "A0000000031010") + el("trancert", "CERT") + el("pem", "051") + el("hash", "HASH") +
        el("cardid", "0a") + el("invoice", "INV7") +
        el("crc", md5(std::string("00") + "0210000000" + "4111111111111111" + "000000010000" + "7" + "151231235959" +
                      "2512" + "RRN123" + "INV7" + "AUTH01")) +
        "</mess>\r\n\r\n";
    EXPECT_EQ(expected, core.createXml(&record));
}

TEST_F(WorkXml, AnswerWithoutCardData)
{
    set(0x81, "REF");
    set(0xEF, "912");
    state record(3);
    record.uOper = REF;
    record.uTrace = 90501300;
    const std::string expected =
        "<mess>" + el("code", "912") + el("type", "0210200000") + el("cardtype", "UNKNOWN") + el("card", "") +
        el("amount", "") + el("currency", "") + el("kkm", "3") + el("track3", "") + el("trace", "90501300") +
        el("tdt", "") + el("expdt", "") + el("rrn", "") + el("auth", "") + el("termid", "") + el("resp", "") +
        el("cardholder", "") + el("carddataenc", "") + el("applabel", "") + el("aid", "") + el("trancert", "") +
        el("pem", "") + el("hash", "") + el("cardid", "00") + el("invoice", "") +
        el("crc", md5(std::string("912") + "0210200000" + "3")) + "</mess>\r\n\r\n";
    EXPECT_EQ(expected, core.createXml(&record));
}

TEST_F(WorkXml, AnswerTypeAndCodeByKind)
{
    struct kindCase {
        const char* kindText;
        typemess oper;
        const char* type;
        const char* code;
    };
    const kindCase cases[] = {
        {"PUR", PUR, "0210000000", "05"}, {"VOI", VOI, "0410000000", "05"}, {"REF", REF, "0210200000", "05"},
        {"AUT", AUT, "0210930000", "05"}, {"CMP", CMP, "0210940000", "05"}, {"STL", STL, "0530000000", "05"},
        {"VER", VER, "0610000000", "1"},  {"VER", VER2, "0610000000", "05"}, {"FUN", FUN, "0610100000", "1"},
        {"PIN", PIN, "0700100000", "05"}, {"xxVOIxPURx", PUR, "0210000000", "05"},
    };
    for (const kindCase& c : cases) {
        SCOPED_TRACE(c.kindText);
        codec().clBuffer();
        set(0x81, c.kindText);
        set(0xEF, "05");
        state record(1);
        record.uOper = c.oper;
        const std::string xml = core.createXml(&record);
        EXPECT_EQ(0u, xml.find("<mess>" + el("code", c.code) + el("type", c.type)));
    }
}

TEST_F(WorkXml, UnknownKindHasNoDocument)
{
    set(0x81, "NUL");
    state record(1);
    EXPECT_EQ("", core.createXml(&record));
    EXPECT_NE(std::string::npos, dir.log().find("ERR: uncknowb ans type message"));
}

TEST_F(WorkXml, DiagnosticsElements)
{
    set(0x81, "FUN");
    set(0xEF, "00");
    codec().setField(0x100, {0x41, 0x00});
    codec().setField(0x9F2600, {0xDE, 0xAD, 0x00, 0x00}); // a NUL inside the data is data
    codec().setField(0xDF5200, {0x00});                    // present, empty
    state record(1);
    record.uOper = FUN;
    const std::string xml = core.createXml(&record);
    const char* names[] = {"APPNAME",   "EMVKERNEL",  "CHECKSUM",    "TERM1GENAC", "CARD1GENAC", "TERM2GENAC",
                           "CARD2GENAC", "L2DEBUG",   "RRN",         "INVOICENUM", "AIP",        "EMVAID",
                           "API",        "RC",        "MASKAPPPAN",  "TRANDATE",   "TSI",        "TVR",
                           "TRANTYPE",   "TRANCURCOD", "APPPAN",     "AUTHAMOUNT", "AUTHAMOUNTOTHR", "AUC",
                           "IACDEFAULT", "IACDENIAL", "IACONLINE",   "IAD",        "TCC",        "PUBKEYIND",
                           "APPCRYPTO",  "CID",       "TERMCAPABLS", "UNPREDNUM",  "CVM",        "APPTRANCAP",
                           "ADDTERMCOD", "DAC",       "ADDTAGS",     "SCRIPTRESULTS"};
    std::string diag;
    for (const char* n : names)
        diag += el(n, std::string(n) == "APPNAME" ? "41" : std::string(n) == "APPCRYPTO" ? "dead00" : "");
    const std::string before = el("cardid", "00") + el("invoice", "");
    const size_t at = xml.find(before);
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(diag + "<crc>", xml.substr(at + before.size(), diag.size() + 5));
    EXPECT_EQ(0u, xml.find("<mess><code>1</code>"));
    EXPECT_GE(xml.size(), 1256u);
}

TEST_F(WorkXml, ConvertedAnswerKeepsCheckValueOfCodePage866)
{
    const std::string cyr = "\x8F\xA8\xAD"; // three letters in code page 866
    set(0x81, "PUR");
    set(0xEF, "00");
    set(0x8B, cyr);
    set(0x8C, cyr);
    state record(2);
    record.uOper = PUR;
    workPeer::setUtf(core, true);
    const std::string wire = core.createXml(&record);
    EXPECT_NE(std::string::npos, wire.find(el("invoice", "Пин")));
    EXPECT_NE(std::string::npos, wire.find(el("crc", md5("000210000000" + std::string("2") + cyr + cyr))));
    const size_t end = wire.find("</mess>\r\n\r\n");
    ASSERT_NE(std::string::npos, end);
    // Padded to twice the code page 866 size; each of the six letters grew by one byte.
    const size_t cp866Size = end + 11 - 6;
    EXPECT_EQ(2 * cp866Size, wire.size());
}

TEST_F(WorkXml, ConvertedDiagnosticsAnswerIsWhole)
{
    set(0x81, "FUN");
    state record(1);
    record.uOper = FUN;
    workPeer::setUtf(core, true);
    const std::string wire = core.createXml(&record);
    EXPECT_GT(wire.size(), 1024u);
    EXPECT_EQ("</mess>\r\n\r\n", wire.substr(wire.size() - 11));
}

TEST_F(WorkXml, LongValuesAreWrittenWhole)
{
    const std::string longText(600, 'a');
    set(0x81, "PUR");
    set(0xA0, longText);
    set(0x89, std::string(300, '4'));
    state record(1);
    record.strXmlHead = "<?xml " + std::string(400, 'v') + "?>";
    record.uOper = PUR;
    const std::string xml = core.createXml(&record);
    EXPECT_NE(std::string::npos, xml.find(el("resp", longText)));
    EXPECT_NE(std::string::npos, xml.find(el("cardtype", "VISA")));
    EXPECT_NE(std::string::npos, xml.find(el("card", "4444" + std::string(292, 'X') + "4444")));
    EXPECT_EQ(0u, xml.find(record.strXmlHead + "<mess>"));
}

} // namespace
