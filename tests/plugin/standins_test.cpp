// The host and library stand-ins that the plug-in's tests and the test host stand on.

#include "Tr.h"
#include "qt_printers.h"

#include <log4qt/logger.h>
#include <log4qt/logmanager.h>
#include <qjson/serializer.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

TEST(TrStandin, ArgumentsFillThePlaceholdersInOnePass)
{
    struct Case {
        const char* text;
        QStringList args;
        const char* ru;
    };
    const std::vector<Case> cases = {
        {"Нет соединения", {}, "Нет соединения"},
        {"Ошибка: %1", {"Connection refused"}, "Ошибка: Connection refused"},
        {"%2 и %1", {"a", "b"}, "b и a"},
        {"%1-%1", {"x"}, "x-x"},
        {"%1 %3", {"a", "b"}, "a b"},                // lowest number first, gaps allowed
        {"Ошибка: %1", {"50%1 off"}, "Ошибка: 50%1 off"},  // inserted text is not scanned
        {"%1 %2", {"only"}, "only %2"},              // too few arguments leave the rest
        {"100% %1", {"x"}, "100% x"},
        {"%10 %1", {"a", "b"}, "b a"},
        {"", {"x"}, ""},
    };
    for (const Case& c : cases) {
        tr::Tr message("id", QString::fromUtf8(c.text));
        for (const QString& a : c.args)
            message.arg(a);
        EXPECT_EQ(message.ru(), QString::fromUtf8(c.ru)) << c.text;
        EXPECT_EQ(message.ui(), message.ru()) << c.text;
        EXPECT_EQ(message.id(), "id");
    }
    tr::Tr chained = tr::Tr("id", "%1/%2").arg("a").arg("b");
    EXPECT_EQ(chained.ru(), "a/b");
}

TEST(TrStandin, EmptinessAndEquality)
{
    EXPECT_TRUE(tr::Tr().isEmpty());
    EXPECT_TRUE(tr::Tr("undefined", "").isEmpty());
    EXPECT_TRUE(tr::Tr("undefined", QString()).isEmpty());
    EXPECT_FALSE(tr::Tr("undefined", " ").isEmpty());
    EXPECT_FALSE(tr::Tr("undefined", "Отказ").isEmpty());

    EXPECT_EQ(tr::Tr("a", "b"), tr::Tr("a", "b"));
    EXPECT_NE(tr::Tr("a", "b"), tr::Tr("c", "b"));
    EXPECT_NE(tr::Tr("a", "b"), tr::Tr("a", "c"));
    EXPECT_NE(tr::Tr("a", "%1").arg("x"), tr::Tr("a", "%1").arg("y"));
    EXPECT_EQ(tr::Tr(), tr::Tr());

    tr::Tr original("a", "%1");
    tr::Tr copy = original;
    copy.arg("x");
    EXPECT_EQ(original.ru(), "%1");
    EXPECT_EQ(copy.ru(), "x");
}

// Points the log stand-in at a fresh file for one test.
class LogFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("plugin.log");
        setenv("DORVISH_PLUGIN_LOG", QFile::encodeName(path).constData(), 1);
    }
    void TearDown() override { unsetenv("DORVISH_PLUGIN_LOG"); }

    QString contents() const
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }

    QTemporaryDir dir;
    QString path;
};

TEST_F(LogFile, EachCallAppendsLevelLoggerNameAndText)
{
    Log4Qt::Logger* logger = Log4Qt::LogManager::logger("payment", QString());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger, Log4Qt::LogManager::logger("payment"));
    EXPECT_NE(logger, Log4Qt::LogManager::logger("other"));
    EXPECT_EQ(logger->name(), "payment");

    logger->info("Оплата");
    logger->debug(" получены данные: %1", QString("<mess>"));
    logger->info("хост: %1, порт: %2, данные: %3", QString("localhost"), 3232, QString("a%2b"));
    logger->error(QString("Ошибка"));
    logger->error("%1 и %2", QString("x"), QString("y"));
    logger->debug("%3 %1 %3", QString("a"), QString("b"));  // the lowest number takes the first
    Log4Qt::LogManager::logger("other")->debug("line\nsecond");

    EXPECT_EQ(contents(), QString::fromUtf8("INFO payment Оплата\n"
                                            "DEBUG payment  получены данные: <mess>\n"
                                            "INFO payment хост: localhost, порт: 3232, данные: a%2b\n"
                                            "ERROR payment Ошибка\n"
                                            "ERROR payment x и y\n"
                                            "DEBUG payment b a b\n"
                                            "DEBUG other line\nsecond\n"));
}

TEST_F(LogFile, NothingIsWrittenWithoutTheVariable)
{
    unsetenv("DORVISH_PLUGIN_LOG");
    Log4Qt::LogManager::logger("payment")->error("lost");
    EXPECT_FALSE(QFile::exists(path));

    // The variable is read for every line: a path taken from an earlier line is not used once
    // the variable is gone.
    setenv("DORVISH_PLUGIN_LOG", QFile::encodeName(path).constData(), 1);
    Log4Qt::LogManager::logger("payment")->info("kept");
    ASSERT_EQ(contents(), QString::fromUtf8("INFO payment kept\n"));
    unsetenv("DORVISH_PLUGIN_LOG");
    Log4Qt::LogManager::logger("payment")->error("lost");
    EXPECT_EQ(contents(), QString::fromUtf8("INFO payment kept\n"));
}

TEST(QJsonStandin, SerializesMapsWithTextsNumbersAndNull)
{
    QVariantMap variables;
    variables["code"] = "00";
    variables["resp"] = QString::fromUtf8("Запрос \"выполнен\"");
    variables["slipnum"] = 2;
    variables["tdt"] = QVariant();
    QVariantMap report;
    report["report"] = "vantrel";
    report["variables"] = variables;

    QJson::Serializer serializer;
    const QByteArray json = serializer.serialize(report);
    EXPECT_FALSE(json.contains('\n'));

    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(json, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.constData();
    const QJsonObject root = parsed.object();
    EXPECT_EQ(root.value("report").toString(), "vantrel");
    const QJsonObject vars = root.value("variables").toObject();
    EXPECT_EQ(vars.value("code").toString(), "00");
    EXPECT_EQ(vars.value("resp").toString(), QString::fromUtf8("Запрос \"выполнен\""));
    EXPECT_TRUE(vars.value("slipnum").isDouble());
    EXPECT_EQ(vars.value("slipnum").toInt(), 2);
    EXPECT_TRUE(vars.contains("tdt"));
    EXPECT_TRUE(vars.value("tdt").isNull());
    EXPECT_TRUE(json.contains("\"tdt\":null"));

    // The same serializer can be used again.
    EXPECT_EQ(serializer.serialize(QVariantList{1, "a"}), QByteArray("[1,\"a\"]"));
    EXPECT_EQ(serializer.serialize(QString("x")), QByteArray("\"x\""));
    EXPECT_EQ(serializer.serialize(QVariant()), QByteArray("null"));
}

} // namespace
