// The test host as the POS host application runs it: a separate process that loads the
// built plug-in, supplies tr::Tr and the serializer to it, and prints the result record.

// The fixture brings the printers for Qt texts as well.
#include "vantrel_fixture.h"

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
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

} // namespace
