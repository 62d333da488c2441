// The answer parser: codes and messages, card data and reference number, the slip
// variables and the print images.

#include "vantrel_fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <map>

namespace {

using namespace vantrel_test;

const QString kPayment = QStringLiteral("0200000000");
const QString kTotals = QStringLiteral("0520000000");

// An approved purchase as the server writes it (one line, no declaration: the exchange cuts
// everything outside the element).
const QString kApproved = QStringLiteral(
    "<mess><code>00</code><type>0210000000</type><cardtype> VISA </cardtype>"
    "<card>411111XXXXXX1111</card><amount>000000012345</amount><currency>643</currency>"
    "<kkm>1</kkm><track3></track3><trace>123456</trace><tdt>151022143005</tdt>"
    "<expdt>2512</expdt><rrn>000000000042</rrn><auth>A1B2C3</auth><termid>T0000001</termid>"
    "<resp>ОДОБРЕНО</resp><cardholder>IVANOV/IVAN</cardholder><carddataenc></carddataenc>"
    "<applabel>VISA CREDIT</applabel><aid>A0000000031010</aid><trancert>0102</trancert>"
    "<pem>051</pem><hash>ab12</hash><cardid>01</cardid><invoice>7</invoice>"
    "<crc>0123456789abcdef0123456789abcdef</crc></mess>");

QJsonObject image(const PaymentProcessingAnswer& answer, int index)
{
    const QStringList images = answer.getPrintImages();
    if (index >= images.size())
        return {};
    return QJsonDocument::fromJson(images.at(index).toUtf8()).object();
}

QJsonObject variables(const PaymentProcessingAnswer& answer, int index = 0)
{
    return image(answer, index).value(QStringLiteral("variables")).toObject();
}

class VantrelParser : public ::testing::Test
{
protected:
    void SetUp() override { ensureApp(); }

    PaymentProcessingAnswer parse(const QString& xml, const QString& type = kPayment)
    {
        return object.parseResultXml(xml, type);
    }

    LogCapture log;
    VantrelPaymentProcessing object{nullptr};
};

TEST_F(VantrelParser, ApprovedAnswerFillsTheRecordAndTwoSlips)
{
    const PaymentProcessingAnswer answer = parse(kApproved);

    EXPECT_EQ(answer.getStatus(), PaymentProcessingAnswer::Success);
    EXPECT_EQ(answer.getCode(), 0);
    EXPECT_EQ(answer.getMessage(), tr::Tr(QStringLiteral("undefined"), QStringLiteral("ОДОБРЕНО")));
    EXPECT_EQ(answer.getRRN(), QStringLiteral("123456"));  // the trace, not the rrn element
    EXPECT_EQ(answer.getCardType(), QStringLiteral(" VISA "));
    EXPECT_EQ(answer.getCardNumber(), QStringLiteral("411111XXXXXX1111"));
    // Nothing else of the record is set.
    PaymentProcessingAnswer expected;
    expected.setStatus(PaymentProcessingAnswer::Success);
    expected.setMessage(answer.getMessage());
    expected.setRRN(answer.getRRN());
    expected.setCardType(answer.getCardType());
    expected.setCardNumber(answer.getCardNumber());
    expected.setPrintImages(answer.getPrintImages());
    EXPECT_TRUE(answer == expected);

    ASSERT_EQ(answer.getPrintImages().size(), 2);
    const QJsonObject first = image(answer, 0);
    EXPECT_EQ(first.keys(), (QStringList{"report", "variables"}));
    EXPECT_EQ(first.value(QStringLiteral("report")).toString(), QStringLiteral("vantrel"));

    const QJsonObject expectedVariables = QJsonObject::fromVariantMap({
        {"code", "00"}, {"type", "0210000000"}, {"cardtype", "VISA"},
        {"card", "411111XXXXXX1111"}, {"amount", "123.45"}, {"currency", "643"}, {"kkm", "1"},
        {"track3", ""}, {"trace", "123456"}, {"tdt", "151022143005"}, {"expdt", "2512"},
        {"rrn", "000000000042"}, {"auth", "A1B2C3"}, {"termid", "T0000001"},
        {"resp", "ОДОБРЕНО"}, {"cardholder", "IVANOV/IVAN"}, {"carddataenc", ""},
        {"applabel", "VISA CREDIT"}, {"aid", "A0000000031010"}, {"trancert", "0102"},
        {"pem", "051"}, {"hash", "ab12"}, {"cardid", "01"}, {"invoice", "7"},
        {"crc", "0123456789abcdef0123456789abcdef"}, {"slipnum", 1}, {"typename", "Оплата"},
        {"tdttext", "22.10.15 14:30:05"}});
    EXPECT_EQ(variables(answer, 0), expectedVariables);

    // The second slip differs only in its number.
    QJsonObject second = variables(answer, 1);
    EXPECT_EQ(second.value(QStringLiteral("slipnum")).toInt(), 2);
    second.insert(QStringLiteral("slipnum"), 1);
    EXPECT_EQ(second, expectedVariables);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(VantrelParser, CodesAndMessages)
{
    const struct {
        const char* name;
        QString elements;
        int code;
        bool success;
        QString id, ru;
    } cases[] = {
        {"0", "<code>0</code>", 0, true, "vantrelPaymentProcessingSuccess", "Запрос выполнен успешно"},
        {"00", "<code>00</code><resp></resp>", 0, true, "vantrelPaymentProcessingSuccess",
         "Запрос выполнен успешно"},
        {"000", "<code>000</code>", 0, true, "vantrelPaymentProcessingSuccess",
         "Запрос выполнен успешно"},
        {"approved with text", "<code>00</code><resp>ОДОБРЕНО</resp>", 0, true, "undefined",
         "ОДОБРЕНО"},
        {"no code", "<resp></resp>", 1000, false, "unknownError", "Неизвестная ошибка"},
        {"empty code", "<code></code>", 1000, false, "unknownError", "Неизвестная ошибка"},
        {"letters", "<code>B3</code>", 1000, false, "unknownError", "Неизвестная ошибка"},
        {"beyond int", "<code>99999999999</code>", 1000, false, "unknownError",
         "Неизвестная ошибка"},
        {"910", "<code>910</code>", 910, false, "vantrelPaymentProcessingRrnNotFound", "RRN не найден"},
        {"911", "<code>911</code><kkm>1</kkm><resp></resp>", 911, false,
         "vantrelPaymentProcessingNoConnection", "Нет соединения"},
        {"912", "<code>912</code>", 912, false, "vantrelPaymentProcessingRequestError",
         "Ошибка выполнения запроса"},
        {"913", "<code>913</code>", 913, false, "vantrelPaymentProcessingIncorrectRequest",
         "Некорректный запрос"},
        {"914", "<code>914</code>", 914, false, "vantrelPaymentProcessingPinpadIsBusy", "Пинпад занят"},
        {"913 with the server's text", "<code>913</code><resp>Неверный запрпос</resp>", 913, false,
         "undefined", "Неверный запрпос"},
        {"code outside the table", "<code>5</code>", 5, false, "unknownError", "Неизвестная ошибка"},
        {"code 1 of diagnostics", "<code>1</code><resp>OK</resp>", 1, false, "undefined", "OK"},
        {"resp of blanks is no text", "<code>5</code><resp> </resp>", 5, false, "unknownError",
         "Неизвестная ошибка"},
        {"code in blanks", "<code> 0 </code>", 0, true, "vantrelPaymentProcessingSuccess",
         "Запрос выполнен успешно"},
    };
    for (const auto& c : cases) {
        const PaymentProcessingAnswer answer =
            parse(QStringLiteral("<mess>") + c.elements + QStringLiteral("</mess>"));
        EXPECT_EQ(answer.getCode(), c.code) << c.name;
        EXPECT_EQ(answer.isSuccess(), c.success) << c.name;
        EXPECT_EQ(answer.getMessage().id(), c.id) << c.name;
        EXPECT_EQ(answer.getMessage().ru(), c.ru) << c.name;
        EXPECT_EQ(variables(answer).value(QStringLiteral("resp")).toString(), c.ru) << c.name;
    }
}

TEST_F(VantrelParser, ErrorAnswerHasNoCardDataAndStillTwoSlips)
{
    const PaymentProcessingAnswer answer = parse(QStringLiteral(
        "<mess><code>912</code><kkm>1</kkm><resp>Нет ответа от пинпада</resp>"
        "<crc>cfcd208495d565ef66e7dff9f98764da</crc></mess>"));

    EXPECT_EQ(answer.getCode(), 912);
    EXPECT_TRUE(answer.getRRN().isEmpty());
    EXPECT_TRUE(answer.getCardType().isEmpty());
    EXPECT_TRUE(answer.getCardNumber().isEmpty());
    ASSERT_EQ(answer.getPrintImages().size(), 2);
    const QJsonObject vars = variables(answer);
    EXPECT_EQ(vars.value(QStringLiteral("amount")).toString(), QStringLiteral("0.00"));
    EXPECT_TRUE(vars.contains(QStringLiteral("tdt")));
    EXPECT_TRUE(vars.value(QStringLiteral("tdt")).isNull());
    EXPECT_EQ(vars.value(QStringLiteral("tdttext")), QJsonValue(QStringLiteral("")));
    EXPECT_EQ(vars.keys(), (QStringList{"amount", "code", "crc", "kkm", "resp", "slipnum", "tdt",
                                        "tdttext", "typename"}));
}

TEST_F(VantrelParser, SlipCountAndOperationNameFollowTheRequestType)
{
    const struct {
        QString type;
        int images;
        QString name;
    } cases[] = {
        {"0200000000", 2, "Оплата"},  {"0200200000", 2, "Возврат"},
        {"0400000000", 2, "Отмена"},  {"0520000000", 1, "Сверка итогов"},
        {"", 2, ""},                  {"0520000000 ", 2, ""},
        {"0600000000", 2, ""},
    };
    for (const auto& c : cases) {
        const PaymentProcessingAnswer answer =
            parse(QStringLiteral("<mess><code>0</code></mess>"), c.type);
        ASSERT_EQ(answer.getPrintImages().size(), c.images) << c.type;
        for (int i = 0; i < c.images; ++i) {
            const QJsonObject vars = variables(answer, i);
            EXPECT_EQ(vars.value(QStringLiteral("slipnum")), QJsonValue(i + 1)) << c.type;
            EXPECT_EQ(vars.value(QStringLiteral("typename")), QJsonValue(c.name)) << c.type;
        }
    }
}

TEST_F(VantrelParser, RepeatedElementsFirstForTheRecordLastForTheSlip)
{
    const PaymentProcessingAnswer answer = parse(QStringLiteral(
        "<mess><code>00</code><card>1111</card><trace>1</trace><code>914</code>"
        "<card>2222</card><trace>2</trace><resp>A</resp><resp>B</resp></mess>"));

    EXPECT_EQ(answer.getCode(), 0);
    EXPECT_EQ(answer.getCardNumber(), QStringLiteral("1111"));
    EXPECT_EQ(answer.getRRN(), QStringLiteral("1"));
    EXPECT_EQ(answer.getMessage().ru(), QStringLiteral("A"));
    const QJsonObject vars = variables(answer);
    EXPECT_EQ(vars.value(QStringLiteral("code")).toString(), QStringLiteral("914"));
    EXPECT_EQ(vars.value(QStringLiteral("card")).toString(), QStringLiteral("2222"));
    EXPECT_EQ(vars.value(QStringLiteral("trace")).toString(), QStringLiteral("2"));
    EXPECT_EQ(vars.value(QStringLiteral("resp")).toString(), QStringLiteral("A"));
}

TEST_F(VantrelParser, VariablesTakeTheTrimmedFirstChildTextOfEachNode)
{
    const PaymentProcessingAnswer answer = parse(QStringLiteral(
        "<mess><code>0</code><cardholder>  IVANOV\n</cardholder><empty/><nested><x>1</x></nested>"
        "<mixed>a<b>c</b>d</mixed><escaped>&lt;&amp;</escaped></mess>"));
    const QJsonObject vars = variables(answer);
    EXPECT_EQ(vars.value(QStringLiteral("cardholder")), QJsonValue(QStringLiteral("IVANOV")));
    EXPECT_EQ(vars.value(QStringLiteral("empty")), QJsonValue(QStringLiteral("")));
    EXPECT_EQ(vars.value(QStringLiteral("nested")), QJsonValue(QStringLiteral("")));
    EXPECT_EQ(vars.value(QStringLiteral("mixed")), QJsonValue(QStringLiteral("a")));
    EXPECT_EQ(vars.value(QStringLiteral("escaped")), QJsonValue(QStringLiteral("<&")));
}

TEST_F(VantrelParser, SlipAmountInMajorUnits)
{
    const struct {
        QString amount;
        QString shown;
    } cases[] = {
        {"000000012345", "123.45"},
        {"5", "0.05"},
        {"100", "1.00"},
        {"0", "0.00"},
        {"000000000000", "0.00"},
        {"", "0.00"},
        {"12.5", "0.00"},
        {"abc", "0.00"},
        {" 250 ", "2.50"},
        {"-5", "-0.05"},
        {"2147483647", "21474836.47"},
        // Beyond a 32-bit int the amount is still shown exactly, not wrapped around.
        {"2147483648", "21474836.48"},
        {"4294967301", "42949673.01"},
        {"999999999999999999999999", "9999999999999999999999.99"},
    };
    for (const auto& c : cases) {
        const PaymentProcessingAnswer answer = parse(
            QStringLiteral("<mess><code>0</code><amount>") + c.amount + QStringLiteral("</amount></mess>"));
        EXPECT_EQ(variables(answer).value(QStringLiteral("amount")).toString(), c.shown) << c.amount;
    }
}

TEST_F(VantrelParser, TerminalDateAndTimeForTheSlip)
{
    const struct {
        QString tdt;
        QString shown;
    } cases[] = {
        {"151022143005", "22.10.15 14:30:05"},
        {"991231235959", "31.12.99 23:59:59"},
        {"000229120000", "29.02.00 12:00:00"},  // 2000 was a leap year
        {"", ""},
        {"151322143005", ""},   // month 13
        {"150230120000", ""},   // 30 February
        {"151022246005", ""},   // hour 24
        {"15102214300", ""},    // too short
        {"1510221430050", ""},  // too long
        {"15102214300x", ""},
        {"+51022143005", ""},
    };
    for (const auto& c : cases) {
        const PaymentProcessingAnswer answer = parse(
            QStringLiteral("<mess><code>0</code><tdt>") + c.tdt + QStringLiteral("</tdt></mess>"));
        const QJsonObject vars = variables(answer);
        EXPECT_EQ(vars.value(QStringLiteral("tdttext")), QJsonValue(c.shown)) << c.tdt;
        EXPECT_EQ(vars.value(QStringLiteral("tdt")), QJsonValue(c.tdt)) << c.tdt;
    }
}

TEST_F(VantrelParser, IllFormedAnswerIsAParseErrorWithOneLogLine)
{
    const struct {
        const char* name;
        QString xml;
    } cases[] = {
        {"empty", ""},
        {"cut before its closing tag", "<mess><code>00</code><resp>ОДОБ"},
        {"unescaped ampersand", "<mess><code>00</code><resp>A & B</resp></mess>"},
        {"unescaped less-than", "<mess><code>00</code><resp>1 < 2</resp></mess>"},
        {"two documents", "<mess><code>912</code></mess>\r\n\r\n<mess><code>00</code></mess>"},
    };
    for (const auto& c : cases) {
        log.clear();
        const PaymentProcessingAnswer answer = parse(c.xml);

        EXPECT_EQ(answer.getMessage().id(), QStringLiteral("vantrelPaymentProcessingXmlpParseError"))
            << c.name;
        const QString ru = answer.getMessage().ru();
        EXPECT_TRUE(ru.startsWith(QStringLiteral("Ошибка разбора XML: "))) << c.name;
        EXPECT_GT(ru.size(), QStringLiteral("Ошибка разбора XML: ").size()) << c.name;
        EXPECT_FALSE(answer.isSuccess()) << c.name;
        EXPECT_EQ(answer.getCode(), 0) << c.name;
        EXPECT_TRUE(answer.getPrintImages().isEmpty()) << c.name;
        EXPECT_TRUE(answer.getRRN().isEmpty()) << c.name;
        EXPECT_TRUE(answer.getCardNumber().isEmpty()) << c.name;
        EXPECT_EQ(log.lines(), QStringList{QStringLiteral("ERROR payment ") + ru}) << c.name;
    }
}

TEST(VantrelTables, TypeNamesAndCodeMessages)
{
    EXPECT_EQ(initTypeNames(), (QMap<QString, QString>{{"0200000000", "Оплата"},
                                                       {"0200200000", "Возврат"},
                                                       {"0400000000", "Отмена"},
                                                       {"0520000000", "Сверка итогов"}}));
    const QMap<int, tr::Tr> messages = initCodeMsg();
    EXPECT_EQ(messages.keys(), (QList<int>{0, 910, 911, 912, 913, 914}));
}

} // namespace
