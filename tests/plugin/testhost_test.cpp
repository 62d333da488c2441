// The test host as the POS host application runs it: a separate process that loads the
// built plug-in, supplies tr::Tr and the serializer to it, and prints the result record.
// The layout host does the same with a serializer in qjson's real object layout, written
// apart from the plug-in's own qjson header.

// The fixture brings the printers for Qt texts as well.
#include "vantrel_fixture.h"

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct HostRun {
    int exitCode = -1;
    QString out;
    QString err;
};

HostRun finish(QProcess& process)
{
    HostRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Points the plug-in's settings file at a loopback listener of the test's own.
void listenForThePlugin(vantrel_test::SettingsFile& settings, QTcpServer& server,
                        int timeoutSeconds)
{
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    settings.writeGroup({"host=127.0.0.1", "port=" + std::to_string(server.serverPort()),
                         "timeout=" + std::to_string(timeoutSeconds)});
}

TEST(TestHost, RefusesBadCommandLinesAndUnloadablePlugins)
{
    const std::vector<QStringList> cases = {
        {},
        {"payment"},
        {"payment", "12x"},
        {"refund", "10", "extra"},
        {"cancel", "10"},
        {"totals", "now"},
        {"print"},
        {"--plugin", "/nonexistent/libProcessingVantrel.so", "totals"},
        {"--plugin", DORVISH_TESTHOST, "totals"},  // loads, but is no plug-in
    };
    for (const QStringList& args : cases) {
        QProcess process;
        process.start(DORVISH_TESTHOST, args);
        const HostRun run = finish(process);
        EXPECT_EQ(run.exitCode, 2) << args.join(' ').toUtf8().constData();
        EXPECT_FALSE(run.err.isEmpty()) << args.join(' ').toUtf8().constData();
        EXPECT_TRUE(run.out.isEmpty()) << args.join(' ').toUtf8().constData();
    }
}

// The settings file at its fixed path is shared by every plug-in test program: hold it for
// the whole run and point the plug-in at a port of the test's own. Without write access (not
// root) the plug-in falls back to localhost:3232, which the fake server then has to take; as
// root the file must be writable, so neither that fallback nor a skip may hide its loss.
TEST(TestHost, RunsAPaymentThroughThePluginAgainstAServer)
{
    vantrel_test::SettingsFile settings;
    QTcpServer server;
    if (!settings.writable() && vantrel_test::settingsRequired())
        FAIL() << "cannot write " << vantrel_test::settingsPath() << " although running as root";
    if (settings.writable()) {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        settings.writeGroup({"host=127.0.0.1", "port=" + std::to_string(server.serverPort())});
    } else if (!server.listen(QHostAddress::LocalHost, 3232)) {
        GTEST_SKIP() << "port 3232 is taken: " << server.errorString().toUtf8().constData();
    }

    QProcess process;
    process.start(DORVISH_TESTHOST, {"--plugin", DORVISH_PLUGIN, "payment", "1500"});
    ASSERT_TRUE(server.waitForNewConnection(20000));
    QTcpSocket* connection = server.nextPendingConnection();
    ASSERT_NE(connection, nullptr);

    QByteArray request;
    while (!request.contains("</mess>") && connection->waitForReadyRead(20000))
        request += connection->readAll();
    EXPECT_TRUE(request.contains("<type>0200000000</type>")) << request.constData();
    EXPECT_TRUE(request.contains("<amount>1500</amount>")) << request.constData();

    connection->write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                      "<mess><type>0210000000</type><code>00</code><kkm>1</kkm>"
                      "<amount>000000001500</amount><trace>000123456789</trace>"
                      "<card>4111********1111</card><cardtype>VISA</cardtype>"
                      "<resp></resp><tdt>151022143005</tdt><crc>x</crc></mess>\r\n\r\n");
    connection->waitForBytesWritten(5000);

    const HostRun run = finish(process);
    EXPECT_EQ(run.exitCode, 0) << run.err.toUtf8().constData();
    const QStringList lines = run.out.split('\n');
    for (const char* expected :
         {"status: 0", "success: yes", "code: 0", "message.id: vantrelPaymentProcessingSuccess",
          "rrn: 000123456789", "cardType: VISA", "cardNumber: 4111********1111",
          "printImages: 2"})
        EXPECT_TRUE(lines.contains(QString::fromUtf8(expected))) << expected << "\n"
                                                                 << run.out.toUtf8().constData();
    // The print images went through the host's serializer.
    EXPECT_TRUE(run.out.contains("printImage[1]: {")) << run.out.toUtf8().constData();
    EXPECT_TRUE(run.out.contains("\"report\":\"vantrel\"")) << run.out.toUtf8().constData();
    EXPECT_TRUE(run.out.contains("printImage[2]: {")) << run.out.toUtf8().constData();
}

// Each card operation in the layout host: the host's qjson constructor writes its pointer
// into the object the plug-in reserved, and every call checks that pointer (exit status 3
// when the plug-in broke it). The print images show qjson's spacing, so they were made by
// the host's serializer and not by one the plug-in might carry itself.
TEST(TestHost, LayoutHostRunsEveryCardOperationThroughThePlugin)
{
    const struct {
        const char* name;
        QStringList args;
        std::vector<const char*> requestHas;
        const char* answerType;
        const char* typeName;
        int images;
    } cases[] = {
        {"payment", {"payment", "1500"}, {"<type>0200000000</type>", "<amount>1500</amount>"},
         "0210000000", "Оплата", 2},
        {"refund", {"refund", "700"}, {"<type>0200200000</type>", "<amount>700</amount>"},
         "0210200000", "Возврат", 2},
        {"cancellation",
         {"cancel", "1500", "000123456789"},
         {"<type>0400000000</type>", "<amount>1500</amount>", "<trace>000123456789</trace>"},
         "0410000000", "Отмена", 2},
        {"totals", {"totals"}, {"<type>0520000000</type>"}, "0530000000", "Сверка итогов", 1},
    };

    vantrel_test::ensureApp();
    vantrel_test::SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    QTcpServer server;
    ASSERT_NO_FATAL_FAILURE(listenForThePlugin(settings, server, 20));

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QProcess process;
        process.start(DORVISH_LAYOUTHOST, QStringList{"--plugin", DORVISH_PLUGIN} + c.args);
        ASSERT_TRUE(server.waitForNewConnection(20000));
        QTcpSocket* connection = server.nextPendingConnection();
        ASSERT_NE(connection, nullptr);
        connection->write("EFT-server. dorvish test\r\n");

        QByteArray request;
        while (!request.contains("</mess>") && connection->waitForReadyRead(20000))
            request += connection->readAll();
        for (const char* part : c.requestHas)
            EXPECT_TRUE(request.contains(part)) << part << "\n" << request.constData();

        connection->write(QByteArray("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<mess><type>")
                          + c.answerType
                          + "</type><code>00</code><kkm>1</kkm><amount>000000001500</amount>"
                            "<trace>000123456789</trace><card>4111********1111</card>"
                            "<cardtype>VISA</cardtype><resp>ОДОБРЕНО</resp>"
                            "<tdt>151022143005</tdt><crc>x</crc></mess>\r\n\r\n");
        connection->waitForBytesWritten(5000);

        const HostRun run = finish(process);
        delete connection;
        ASSERT_EQ(run.exitCode, 0) << run.err.toUtf8().constData() << run.out.toUtf8().constData();
        const QStringList lines = run.out.split('\n');
        for (const QString& expected :
             {QStringLiteral("status: 0"), QStringLiteral("code: 0"),
              QStringLiteral("message.ru: ОДОБРЕНО"), QStringLiteral("rrn: 000123456789"),
              QStringLiteral("cardNumber: 4111********1111"),
              QStringLiteral("printImages: %1").arg(c.images)})
            EXPECT_TRUE(lines.contains(expected)) << expected << "\n" << run.out;
        for (int i = 1; i <= c.images; ++i) {
            const QString prefix = QStringLiteral("printImage[%1]: ").arg(i);
            const QStringList image = lines.filter(prefix);
            ASSERT_EQ(image.size(), 1) << prefix << "\n" << run.out;
            for (const QString& part :
                 {QStringLiteral("{ \"report\" : \"vantrel\""),
                  QStringLiteral("\"slipnum\" : %1").arg(i),
                  QStringLiteral("\"typename\" : \"%1\"").arg(QString::fromUtf8(c.typeName)),
                  QStringLiteral("\"amount\" : \"15.00\""),
                  QStringLiteral("\"tdttext\" : \"22.10.15 14:30:05\"")})
                EXPECT_TRUE(image.first().contains(part)) << part << "\n" << image.first();
        }
    }
}

// A host whose qjson lacks the one-argument serialize. The plug-in is bound at load, so the
// host's loader refuses it there: nothing reaches the server, where a lazily bound plug-in
// would have carried out the payment and only then ended the host.
TEST(TestHost, HostLackingASymbolRefusesThePluginAtLoad)
{
    vantrel_test::ensureApp();
    vantrel_test::SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    QTcpServer server;
    ASSERT_NO_FATAL_FAILURE(listenForThePlugin(settings, server, 5));

    QProcess process;
    process.start(DORVISH_LACKINGHOST, {"--plugin", DORVISH_PLUGIN, "payment", "1500"});
    const HostRun run = finish(process);
    EXPECT_EQ(run.exitCode, 2) << run.err << run.out;
    EXPECT_TRUE(run.err.contains("cannot load")) << run.err;
    EXPECT_TRUE(run.err.contains("_ZN5QJson10Serializer9serialize")) << run.err;
    EXPECT_TRUE(run.out.isEmpty()) << run.out;
    EXPECT_FALSE(server.waitForNewConnection(500)) << "the plug-in reached the server";
}

// The exchange's send failure: a preloaded library makes every write to a TCP connection
// fail. The plug-in connects, cannot send, and answers with the send error, without reading
// or parsing anything and so without print images.
TEST(TestHost, SendFailureIsAnsweredWithoutParsing)
{
    vantrel_test::ensureApp();
    vantrel_test::SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    vantrel_test::LogCapture log;
    QTcpServer server;
    ASSERT_NO_FATAL_FAILURE(listenForThePlugin(settings, server, 5));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", DORVISH_FAILSEND);
    // In the sanitizer build the preloaded library comes before the sanitizer's runtime.
    const QString asan = environment.value("ASAN_OPTIONS");
    environment.insert("ASAN_OPTIONS",
                       (asan.isEmpty() ? QString() : asan + ":") + "verify_asan_link_order=0");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(DORVISH_TESTHOST, {"--plugin", DORVISH_PLUGIN, "payment", "1500"});
    ASSERT_TRUE(server.waitForNewConnection(20000));
    QTcpSocket* connection = server.nextPendingConnection();
    ASSERT_NE(connection, nullptr);

    const HostRun run = finish(process);
    QByteArray received;
    while (connection->waitForReadyRead(500))
        received += connection->readAll();
    delete connection;
    EXPECT_TRUE(received.isEmpty()) << received.constData();

    EXPECT_EQ(run.exitCode, 1) << run.err << run.out;
    const QStringList lines = run.out.split('\n');
    for (const char* expected :
         {"status: 1", "success: no", "code: 0",
          "message.id: vantrelPaymentProcessingDorvishSendError", "printImages: 0"})
        EXPECT_TRUE(lines.contains(QString::fromUtf8(expected))) << expected << "\n" << run.out;
    const QString prefix = QStringLiteral("Ошибка отправки данных на сервис dorvish: ");
    const QStringList message = lines.filter(QStringLiteral("message.ru: "));
    ASSERT_EQ(message.size(), 1) << run.out;
    EXPECT_TRUE(message.first().startsWith("message.ru: " + prefix)) << message.first();
    EXPECT_GT(message.first().size(), QString("message.ru: " + prefix).size()) << message.first();

    const QStringList logged = log.lines();
    ASSERT_FALSE(logged.isEmpty());
    EXPECT_EQ(logged.last(), "ERROR payment " + message.first().mid(12)) << log.text();
    EXPECT_EQ(log.count(QStringLiteral("Ожидание данных от сервиса dorvish")), 0) << log.text();
    EXPECT_EQ(log.count(QStringLiteral("Получен ответ от терминала")), 0) << log.text();
}

} // namespace
