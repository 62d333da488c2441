// One exchange with a fake dorvish server on loopback: connection, send and receive
// failures, answers over several reads, NUL padding, split characters, the answer timeout.

#include "vantrel_fixture.h"

namespace {

using namespace vantrel_test;
using Step = FakeServer::Step;

const QString kPayment = QStringLiteral("0200000000");

class VantrelExchange : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ensureApp();
        VANTREL_NEED_SETTINGS(settings);
    }

    // Runs one payment of 1500 against the server with the given answer timeout.
    PaymentProcessingAnswer pay(const FakeServer& server, int timeoutSeconds,
                                std::vector<std::string> more = {})
    {
        settings.writeGroup(serverSettings(server.port(), timeoutSeconds, more));
        VantrelPaymentProcessing object(nullptr);
        return object.exec(kPayment, 1500, QString());
    }

    static void expectFailure(const PaymentProcessingAnswer& answer, const QString& id,
                              const QString& ru)
    {
        EXPECT_EQ(answer.getStatus(), PaymentProcessingAnswer::Failure);
        EXPECT_EQ(answer.getCode(), 0);
        EXPECT_EQ(answer.getMessage().id(), id);
        EXPECT_EQ(answer.getMessage().ru(), ru);
        EXPECT_TRUE(answer.getPrintImages().isEmpty());
        EXPECT_TRUE(answer.getRRN().isEmpty());
    }

    SettingsFile settings;
    LogCapture log;
};

TEST_F(VantrelExchange, ServerNotListeningIsAConnectionFailure)
{
    FakeServer server({}, &log, FakeServer::Refusing);
    const PaymentProcessingAnswer answer = pay(server, 5);

    const QString ru = QStringLiteral("Ошибка подключения к сервису dorvish: Connection refused");
    expectFailure(answer, QStringLiteral("vantrelPaymentProcessingDorvishConnectionError"), ru);
    const QStringList lines = log.lines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines.first().startsWith(QStringLiteral(
        "INFO payment Выполнение запроса к терминалу, хост: 127.0.0.1, порт: %1, данные: "
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>")
                                             .arg(server.port())));
    EXPECT_EQ(lines.at(lines.size() - 2), QStringLiteral("DEBUG payment Подключение к сервису dorvish"));
    EXPECT_EQ(lines.last(), QStringLiteral("ERROR payment ") + ru);
}

TEST_F(VantrelExchange, PortIsTakenAsItsLow16Bits)
{
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                       FakeServer::send(answerDocument("<code>0</code>")),
                       FakeServer::holdUntilClosed()},
                      &log);
    settings.writeGroup({"host=127.0.0.1", "port=" + std::to_string(65536 + server.port()),
                         "timeout=5"});
    VantrelPaymentProcessing object(nullptr);
    EXPECT_TRUE(object.exec(kPayment, 1500, QString()).isSuccess());
}

TEST_F(VantrelExchange, ServerThatNeverAnswersIsAReceiveFailureAfterTheTimeout)
{
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::holdUntilClosed()},
                      &log);
    const PaymentProcessingAnswer answer = pay(server, 1);

    const QString ru =
        QStringLiteral("Ошибка получения данных от сервиса dorvish: Network operation timed out");
    expectFailure(answer, QStringLiteral("vantrelPaymentProcessingDorvishReceiveError"), ru);
    EXPECT_EQ(log.lines().last(), QStringLiteral("ERROR payment ") + ru);
    EXPECT_EQ(log.count(QStringLiteral("DEBUG payment Ожидание данных от сервиса dorvish")), 2) << log.text();
    EXPECT_EQ(log.count(QStringLiteral("Получен ответ от терминала")), 0);
}

TEST_F(VantrelExchange, ServerThatClosesEarlyIsAReceiveFailure)
{
    const struct {
        const char* name;
        std::vector<Step> script;
    } cases[] = {
        {"after the request", {FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                               FakeServer::close()}},
        {"inside the answer",
         {FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
          FakeServer::send("<?xml version=\"1.0\" encoding=\"utf-8\"?><mess><code>00</code>"),
          FakeServer::close()}},
    };
    for (const auto& c : cases) {
        log.clear();
        FakeServer server(c.script, &log);
        const PaymentProcessingAnswer answer = pay(server, 5);
        expectFailure(answer, QStringLiteral("vantrelPaymentProcessingDorvishReceiveError"),
                      QStringLiteral("Ошибка получения данных от сервиса dorvish: "
                                     "The remote host closed the connection"));
        EXPECT_EQ(log.count(QStringLiteral("Получен ответ от терминала")), 0) << c.name;
    }
}

TEST_F(VantrelExchange, AnswerInSeveralReadsIsCollectedAndCutToTheMessElement)
{
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                       FakeServer::awaitReads(1),
                       FakeServer::send("<?xml version=\"1.0\" encoding=\"utf-8\"?><mess><code>00"),
                       FakeServer::awaitReads(2),
                       FakeServer::send("</code><trace>123</trace><resp>ОДОБРЕНО"),
                       FakeServer::awaitReads(3), FakeServer::send("</resp></mess>\r\n\r\n"),
                       FakeServer::holdUntilClosed()},
                      &log);
    const PaymentProcessingAnswer answer = pay(server, 5);

    EXPECT_TRUE(answer.isSuccess());
    EXPECT_EQ(answer.getRRN(), QStringLiteral("123"));
    EXPECT_EQ(answer.getMessage().ru(), QStringLiteral("ОДОБРЕНО"));
    EXPECT_EQ(answer.getPrintImages().size(), 2);
    EXPECT_EQ(log.count(QStringLiteral(" получены данные: ")), 4);
    EXPECT_EQ(log.count(QStringLiteral("DEBUG payment  получены данные: EFT-server. dorvish test\r\n")), 1);
    EXPECT_EQ(log.count(QStringLiteral(
                  "INFO payment Получен ответ от терминала: <mess><code>00</code><trace>123</trace>"
                  "<resp>ОДОБРЕНО</resp></mess>\n")),
              1);

    // The exchange's lines in order (continuation lines of multi-line texts left out).
    const QStringList expected = {
        "INFO payment Выполнение запроса к терминалу", "DEBUG payment Подключение к сервису dorvish",
        "DEBUG payment Отправки данных на сервис dorvish",
        "DEBUG payment Ожидание данных от сервиса dorvish", "DEBUG payment  получены данные: EFT",
        "DEBUG payment Ожидание данных от сервиса dorvish", "DEBUG payment  получены данные: <?xml",
        "DEBUG payment Ожидание данных от сервиса dorvish", "DEBUG payment  получены данные: </code>",
        "DEBUG payment Ожидание данных от сервиса dorvish", "DEBUG payment  получены данные: </resp>",
        "INFO payment Получен ответ от терминала: <mess>"};
    QStringList lines;
    for (const QString& line : log.lines())
        if (line.startsWith(QLatin1String("DEBUG ")) || line.startsWith(QLatin1String("INFO "))
            || line.startsWith(QLatin1String("ERROR ")))
            lines << line;
    ASSERT_EQ(lines.size(), expected.size()) << log.text().toStdString();
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(lines.at(i).startsWith(expected.at(i))) << lines.at(i).toStdString();
}

TEST_F(VantrelExchange, EachReadIsTakenUpToItsFirstNulByte)
{
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                       FakeServer::awaitReads(1),
                       FakeServer::send(std::string("<mess><code>00</code>\0<junk>", 28)),
                       FakeServer::awaitReads(2),
                       FakeServer::send("<trace>42</trace></mess>\r\n\r\n" + std::string(139, '\0')),
                       FakeServer::holdUntilClosed()},
                      &log);
    const PaymentProcessingAnswer answer = pay(server, 5);

    EXPECT_TRUE(answer.isSuccess());
    EXPECT_EQ(answer.getRRN(), QStringLiteral("42"));
    EXPECT_EQ(log.count(QStringLiteral("junk")), 0);
    EXPECT_EQ(log.count(QStringLiteral("Получен ответ от терминала: "
                                       "<mess><code>00</code><trace>42</trace></mess>\n")),
              1);
    EXPECT_EQ(log.text().indexOf(QChar(0)), -1);
}

TEST_F(VantrelExchange, CharacterSplitAcrossReadsBecomesReplacementCharacters)
{
    const std::string resp = "Пинпад занят";  // "П" is the two bytes D0 9F
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                       FakeServer::awaitReads(1),
                       FakeServer::send("<mess><code>914</code><resp>" + resp.substr(0, 1)),
                       FakeServer::awaitReads(2),
                       FakeServer::send(resp.substr(1) + "</resp></mess>\r\n\r\n"),
                       FakeServer::holdUntilClosed()},
                      &log);
    const PaymentProcessingAnswer answer = pay(server, 5);

    EXPECT_EQ(answer.getCode(), 914);
    EXPECT_EQ(answer.getMessage().id(), QStringLiteral("undefined"));
    EXPECT_EQ(answer.getMessage().ru(), QString(QChar(0xFFFD)) + QChar(0xFFFD)
                                            + QStringLiteral("инпад занят"));
}

TEST_F(VantrelExchange, TimeoutOfZeroOrLessReadsNothing)
{
    for (const int timeout : {0, -5}) {
        log.clear();
        FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                           FakeServer::send(answerDocument("<code>00</code>")),
                           FakeServer::holdUntilClosed()},
                          &log);
        const PaymentProcessingAnswer answer = pay(server, timeout);

        EXPECT_NE(server.request().find("<type>0200000000</type>"), std::string::npos) << timeout;
        EXPECT_EQ(answer.getMessage().id(), QStringLiteral("vantrelPaymentProcessingXmlpParseError"))
            << timeout;
        EXPECT_EQ(answer.getCode(), 0) << timeout;
        EXPECT_FALSE(answer.isSuccess()) << timeout;
        EXPECT_EQ(log.count(QStringLiteral("Ожидание данных")), 0) << timeout;
        EXPECT_EQ(log.count(QStringLiteral("INFO payment Получен ответ от терминала: \n")), 1)
            << timeout;
    }
}

// Seconds whose milliseconds overflow 32 bits must still mean a long wait, not a wrapped one.
TEST_F(VantrelExchange, HugeTimeoutStillWaitsForTheAnswer)
{
    for (const int timeout : {2147484, 2147483647}) {
        log.clear();
        FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                           FakeServer::awaitReads(1),
                           FakeServer::send(answerDocument("<code>00</code>")),
                           FakeServer::holdUntilClosed()},
                          &log);
        const PaymentProcessingAnswer answer = pay(server, timeout);
        EXPECT_TRUE(answer.isSuccess()) << timeout << answer.getMessage().ru() << log.text();
    }
}

// A peer that streams without ever closing the element is not collected without bound.
TEST_F(VantrelExchange, EndlessAnswerStopsCollectingAndFailsToParse)
{
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                       FakeServer::send("<mess><resp>" + std::string(2 << 20, 'x')),
                       FakeServer::holdUntilClosed()},
                      &log);
    const PaymentProcessingAnswer answer = pay(server, 30);

    EXPECT_EQ(answer.getMessage().id(), QStringLiteral("vantrelPaymentProcessingXmlpParseError"));
    EXPECT_FALSE(answer.isSuccess());
}

} // namespace
