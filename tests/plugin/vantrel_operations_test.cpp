// The request document and the card operations: what each operation sends, what it logs,
// and the four operations refused without any traffic.

#include "vantrel_fixture.h"

#include "AbstractPaymentProcessing.h"

#include <functional>

namespace {

using namespace vantrel_test;

QString document(const QString& elements)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<mess>\n") + elements
           + QStringLiteral("</mess>\n");
}

TEST(VantrelRequestXml, ExactTextForEachCombination)
{
    ensureApp();
    const struct {
        const char* name;
        std::vector<std::string> settings;
        QString type;
        int amount;
        QString trace;
        QString expected;
    } cases[] = {
        {"payment, defaults", {}, "0200000000", 1500, "",
         document(" <type>0200000000</type>\n <amount>1500</amount>\n <kkm>1</kkm>\n")},
        {"cancellation with currency and trace", {"kkm=12", "currency=643"}, "0400000000", 700,
         "123456",
         document(" <type>0400000000</type>\n <amount>700</amount>\n <currency>643</currency>\n"
                  " <kkm>12</kkm>\n <trace>123456</trace>\n")},
        {"totals", {}, "0520000000", 0, "", document(" <type>0520000000</type>\n <kkm>1</kkm>\n")},
        {"negative amount", {}, "0200200000", -5, "",
         document(" <type>0200200000</type>\n <kkm>1</kkm>\n")},
        {"empty type and kkm", {"kkm="}, "", 0, "", document(" <type></type>\n <kkm></kkm>\n")},
        {"largest amount", {}, "0200000000", 2147483647, "",
         document(" <type>0200000000</type>\n <amount>2147483647</amount>\n <kkm>1</kkm>\n")},
        {"markup in settings and trace is escaped", {"kkm=1<2", "currency=a&b"}, "0400000000", 1,
         "<x>",
         document(" <type>0400000000</type>\n <amount>1</amount>\n <currency>a&amp;b</currency>\n"
                  " <kkm>1&lt;2</kkm>\n <trace>&lt;x></trace>\n")},
    };
    SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    for (const auto& c : cases) {
        settings.writeGroup(c.settings);
        VantrelPaymentProcessing object(nullptr);
        EXPECT_EQ(object.makeRequestXML(c.type, c.amount, c.trace), c.expected) << c.name;
    }
}

using Operation = std::function<PaymentProcessingAnswer(AbstractPaymentProcessing&)>;

PaymentProcessingRequest request(int type, int amount, const QString& rrn = QString())
{
    PaymentProcessingRequest r;
    r.type = PaymentProcessingRequest::Type(type);
    r.amount = amount;
    r.rrn = rrn;
    return r;
}

TEST(VantrelCardOperations, EachSendsItsRequestAfterItsLogLine)
{
    ensureApp();
    const struct {
        const char* name;
        Operation call;
        QString logLine;  // empty: no operation line
        QString elements;
    } cases[] = {
        {"payment", [](AbstractPaymentProcessing& p) { return p.payment(request(1, 1500)); },
         "INFO payment Оплата",
         " <type>0200000000</type>\n <amount>1500</amount>\n <currency>643</currency>\n"
         " <kkm>3</kkm>\n"},
        {"refund, type 2",
         [](AbstractPaymentProcessing& p) { return p.payment(request(2, 250, "999")); },
         "INFO payment Возврат",
         " <type>0200200000</type>\n <amount>250</amount>\n <currency>643</currency>\n"
         " <kkm>3</kkm>\n"},
        {"refund, type 3", [](AbstractPaymentProcessing& p) { return p.payment(request(3, 250)); },
         "INFO payment Возврат",
         " <type>0200200000</type>\n <amount>250</amount>\n <currency>643</currency>\n"
         " <kkm>3</kkm>\n"},
        {"payment of 0", [](AbstractPaymentProcessing& p) { return p.payment(request(1, 0)); },
         "INFO payment Оплата", " <type>0200000000</type>\n <currency>643</currency>\n <kkm>3</kkm>\n"},
        {"payment type 0", [](AbstractPaymentProcessing& p) { return p.payment(request(0, 10)); },
         "", " <type></type>\n <amount>10</amount>\n <currency>643</currency>\n <kkm>3</kkm>\n"},
        {"payment type 4", [](AbstractPaymentProcessing& p) { return p.payment(request(4, 10)); },
         "", " <type></type>\n <amount>10</amount>\n <currency>643</currency>\n <kkm>3</kkm>\n"},
        {"cancel with rrn",
         [](AbstractPaymentProcessing& p) { return p.cancel(request(1, 1500, "000123")); },
         "INFO payment Отмена операции",
         " <type>0400000000</type>\n <amount>1500</amount>\n <currency>643</currency>\n"
         " <kkm>3</kkm>\n <trace>000123</trace>\n"},
        {"cancel without rrn", [](AbstractPaymentProcessing& p) { return p.cancel(request(2, 0)); },
         "INFO payment Отмена операции",
         " <type>0400000000</type>\n <currency>643</currency>\n <kkm>3</kkm>\n"},
        {"totals, argument ignored", [](AbstractPaymentProcessing& p) { return p.checkTotals(7); },
         "INFO payment Сверка итогов",
         " <type>0520000000</type>\n <currency>643</currency>\n <kkm>3</kkm>\n"},
    };
    SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    for (const auto& c : cases) {
        LogCapture log;
        FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                           FakeServer::send(answerDocument("<code>00</code><trace>77</trace>")),
                           FakeServer::holdUntilClosed()});
        settings.writeGroup(serverSettings(server.port(), 5, {"kkm=3", "currency=643"}));
        VantrelPaymentProcessing object(nullptr);

        const PaymentProcessingAnswer answer = c.call(object);

        EXPECT_EQ(QString::fromStdString(server.request()), document(c.elements)) << c.name;
        EXPECT_TRUE(answer.isSuccess()) << c.name;
        EXPECT_EQ(answer.getRRN(), QStringLiteral("77")) << c.name;
        const QStringList lines = log.lines();
        ASSERT_FALSE(lines.isEmpty()) << c.name;
        const QString exchangeStart = QStringLiteral("INFO payment Выполнение запроса к терминалу");
        if (c.logLine.isEmpty()) {
            EXPECT_TRUE(lines.at(0).startsWith(exchangeStart)) << c.name;
        } else {
            EXPECT_EQ(lines.at(0), c.logLine) << c.name;
            ASSERT_GT(lines.size(), 1) << c.name;
            EXPECT_TRUE(lines.at(1).startsWith(exchangeStart)) << c.name;
        }
    }
}

TEST(VantrelCardOperations, FourAreRefusedWithoutTrafficAndWithAnErrorLine)
{
    ensureApp();
    const struct {
        const char* name;
        Operation call;
        QString logLine;
    } cases[] = {
        {"printCopy", [](AbstractPaymentProcessing& p) { return p.printCopy(3); },
         "ERROR payment Печать копии слипа не поддерживается"},
        {"printReport", [](AbstractPaymentProcessing& p) { return p.printReport(); },
         "ERROR payment Печать полного отчета не поддерживается"},
        {"printShortReport", [](AbstractPaymentProcessing& p) { return p.printShortReport(); },
         "ERROR payment Печать краткого отчета не поддерживается"},
        {"balance", [](AbstractPaymentProcessing& p) { return p.balance(QStringLiteral("42")); },
         "ERROR payment Запрос состояния счета не поддерживается"},
    };
    SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    FakeServer server({}, nullptr, FakeServer::Idle);
    settings.writeGroup(serverSettings(server.port(), 1));
    VantrelPaymentProcessing object(nullptr);
    for (const auto& c : cases) {
        LogCapture log;
        const PaymentProcessingAnswer answer = c.call(object);

        EXPECT_EQ(log.lines(), QStringList{c.logLine}) << c.name;
        EXPECT_FALSE(server.hasPendingConnection()) << c.name;
        EXPECT_EQ(answer.getStatus(), PaymentProcessingAnswer::Failure) << c.name;
        EXPECT_EQ(answer.getCode(), 0) << c.name;
        EXPECT_EQ(answer.getMessage().id(),
                  QStringLiteral("vantrelPaymentProcessingOperationNotSupported")) << c.name;
        EXPECT_EQ(answer.getMessage().ru(), QStringLiteral("Операция не поддерживается")) << c.name;
        EXPECT_TRUE(answer.getPrintImages().isEmpty()) << c.name;
        // Nothing else is set.
        PaymentProcessingAnswer expected;
        expected.setMessage(answer.getMessage());
        EXPECT_TRUE(answer == expected) << c.name;
    }
}

TEST(VantrelCardOperations, OthersKeepTheUnavailableAnswerWithoutLogging)
{
    ensureApp();
    LogCapture log;
    VantrelPaymentProcessing object(nullptr);
    AbstractPaymentProcessing& host = object;
    const PaymentProcessingAnswer answer = host.change(request(1, 10));
    EXPECT_EQ(answer.getMessage().id(), QStringLiteral("basicPaymentProcessingChange"));
    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(host.testConnection().getMessage().id(),
              QStringLiteral("basicPaymentProcessingTestConnection"));
    EXPECT_TRUE(log.lines().isEmpty());
}

} // namespace
