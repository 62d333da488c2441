// The plug-in object as the host finds it: entry points, metadata, meta-object casts,
// settings and enable queries.

#include "vantrel_fixture.h"

#include "AbstractPaymentProcessing.h"

#include <QJsonObject>
#include <QPluginLoader>
#include <QProcess>

#include <climits>
#include <cstring>
#include <memory>

extern "C" const char* qt_plugin_query_metadata();
extern "C" QObject* qt_plugin_instance();

namespace {

using namespace vantrel_test;

// Makes the settings readable.
struct SettingsProbe : VantrelPaymentProcessing
{
    using VantrelPaymentProcessing::currency;
    using VantrelPaymentProcessing::host;
    using VantrelPaymentProcessing::kkm;
    using VantrelPaymentProcessing::port;
    using VantrelPaymentProcessing::timeout;
};

TEST(VantrelMetadata, BlockIsQt5MetadataForQt512WithIidAndClassName)
{
    const unsigned char expected[] = {
        'Q', 'T', 'M', 'E', 'T', 'A', 'D', 'A', 'T', 'A', ' ', '!', 0, 5, 12, 0, 0xbf,
        0x02, 0x78, 0x18, 'V', 'a', 'n', 't', 'r', 'e', 'l', 'P', 'a', 'y', 'm', 'e', 'n', 't',
        'P', 'r', 'o', 'c', 'e', 's', 's', 'i', 'n', 'g',
        0x03, 0x78, 0x18, 'V', 'a', 'n', 't', 'r', 'e', 'l', 'P', 'a', 'y', 'm', 'e', 'n', 't',
        'P', 'r', 'o', 'c', 'e', 's', 's', 'i', 'n', 'g', 0xff};
    const char* block = qt_plugin_query_metadata();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(0, std::memcmp(block, expected, sizeof expected));
}

TEST(VantrelMetadata, QtLoaderReadsItFromTheBuiltLibraryWithoutLoadingIt)
{
    ensureApp();
    QPluginLoader loader(QStringLiteral(DORVISH_PLUGIN));
    const QJsonObject metaData = loader.metaData();
    EXPECT_EQ(metaData.value(QStringLiteral("IID")).toString(),
              QStringLiteral("VantrelPaymentProcessing"));
    EXPECT_EQ(metaData.value(QStringLiteral("className")).toString(),
              QStringLiteral("VantrelPaymentProcessing"));
    EXPECT_EQ(metaData.value(QStringLiteral("version")).toInt(), 0x050c00);
    EXPECT_FALSE(metaData.value(QStringLiteral("debug")).toBool());
    EXPECT_FALSE(metaData.contains(QStringLiteral("MetaData")));
    EXPECT_FALSE(loader.isLoaded());
}

// The whole binding as the host uses it: Qt's loader, the cast by interface identifier, the
// host's own tr::Tr and serializer resolved at load time, one exchange.
TEST(VantrelMetadata, TestHostLoadsThePluginAndReconcilesTotals)
{
    ensureApp();
    SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    FakeServer server({FakeServer::send(FakeServer::greeting()), FakeServer::readRequest(),
                       FakeServer::send(answerDocument("<code>00</code><type>0530000000</type>")),
                       FakeServer::holdUntilClosed()});
    settings.writeGroup(serverSettings(server.port(), 5));

    QProcess host;
    host.start(QStringLiteral(DORVISH_TESTHOST), {QStringLiteral("totals")});
    ASSERT_TRUE(host.waitForFinished(20000));
    const QString out = QString::fromUtf8(host.readAllStandardOutput());
    EXPECT_EQ(host.exitCode(), 0) << out.toStdString()
                                  << host.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("\ncode: 0\n"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("message.id: vantrelPaymentProcessingSuccess\n")));
    EXPECT_TRUE(out.contains(QStringLiteral("\nprintImages: 1\n")));
    EXPECT_NE(server.request().find("<type>0520000000</type>"), std::string::npos);
}

TEST(VantrelMetaObject, CastsByNameToTheExactParts)
{
    ensureApp();
    VantrelPaymentProcessing object(nullptr);
    void* const whole = &object;
    void* const basic = static_cast<BasicPaymentProcessing*>(&object);
    ASSERT_NE(whole, basic);  // QObject comes first, so the interface part lies further in

    const struct {
        const char* name;
        void* expected;
    } cases[] = {
        {nullptr, nullptr},
        {"VantrelPaymentProcessing", whole},
        {"BasicPaymentProcessing", basic},
        {"QuorinPaymentProcessing/1.0", basic},
        {"QObject", whole},
        {"AbstractPaymentProcessing", nullptr},
        {"vantrelpaymentprocessing", nullptr},
        {"QuorinPaymentProcessing/1.0 ", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(object.qt_metacast(c.name), c.expected) << (c.name ? c.name : "(null)");

    EXPECT_STREQ(qobject_interface_iid<AbstractPaymentProcessing*>(),
                 "QuorinPaymentProcessing/1.0");
    QObject* asObject = &object;
    EXPECT_EQ(static_cast<void*>(qobject_cast<AbstractPaymentProcessing*>(asObject)), basic);
}

TEST(VantrelMetaObject, IsAPlainSubclassOfQObject)
{
    ensureApp();
    VantrelPaymentProcessing object(nullptr);
    const QMetaObject* meta = object.metaObject();
    EXPECT_EQ(meta, &VantrelPaymentProcessing::staticMetaObject);
    EXPECT_STREQ(meta->className(), "VantrelPaymentProcessing");
    EXPECT_EQ(meta->superClass(), &QObject::staticMetaObject);
    EXPECT_EQ(meta->methodCount(), QObject::staticMetaObject.methodCount());
    EXPECT_EQ(meta->propertyCount(), QObject::staticMetaObject.propertyCount());
    EXPECT_EQ(meta->enumeratorCount(), 0);
    EXPECT_EQ(meta->classInfoCount(), 0);
    EXPECT_EQ(meta->constructorCount(), 0);
    EXPECT_TRUE(object.inherits("QObject"));
    EXPECT_TRUE(object.inherits("VantrelPaymentProcessing"));

    // QObject's own property and method go through qt_metacall unchanged.
    EXPECT_TRUE(object.setProperty("objectName", QStringLiteral("vantrel")));
    EXPECT_EQ(object.objectName(), QStringLiteral("vantrel"));
    EXPECT_EQ(object.property("objectName").toString(), QStringLiteral("vantrel"));
}

TEST(VantrelInstance, SameObjectUntilDeletedThenANewOneThatRereadsTheSettings)
{
    ensureApp();
    SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    settings.writeGroup({"kkm=5"});

    QObject* first = qt_plugin_instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(qt_plugin_instance(), first);
    auto* plugin = qobject_cast<AbstractPaymentProcessing*>(first);
    ASSERT_NE(plugin, nullptr);
    EXPECT_TRUE(plugin->isCheckTotalsEnable());
    EXPECT_TRUE(static_cast<VantrelPaymentProcessing*>(first)
                    ->makeRequestXML(QString(), 0, QString())
                    .contains(QStringLiteral("<kkm>5</kkm>")));

    settings.writeGroup({"kkm=9"});
    EXPECT_EQ(qt_plugin_instance(), first);  // read once, when made
    delete first;

    QObject* second = qt_plugin_instance();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(static_cast<VantrelPaymentProcessing*>(second)
                    ->makeRequestXML(QString(), 0, QString())
                    .contains(QStringLiteral("<kkm>9</kkm>")));
    EXPECT_EQ(qt_plugin_instance(), second);
    delete second;
}

TEST(VantrelSettings, ReadOnceFromTheIniFileWithDefaults)
{
    ensureApp();
    const struct {
        const char* name;
        const char* file;  // nullptr: no settings file
        QString currency, kkm, host;
        int port, timeout;
    } cases[] = {
        {"no file", nullptr, "", "1", "localhost", 3232, 300},
        {"empty file", "", "", "1", "localhost", 3232, 300},
        {"every key", "[vantrel]\ncurrency=643\nkkm=07\nhost=10.0.0.5\nport=4000\ntimeout=60\n",
         "643", "07", "10.0.0.5", 4000, 60},
        {"other group only", "[other]\nport=4000\nkkm=3\n", "", "1", "localhost", 3232, 300},
        {"keys outside the group", "port=4000\nkkm=3\n", "", "1", "localhost", 3232, 300},
        {"non-numeric numbers", "[vantrel]\nport=abc\ntimeout=12x\n", "", "1", "localhost", 0, 0},
        {"empty numbers", "[vantrel]\nport=\ntimeout=\n", "", "1", "localhost", 0, 0},
        {"negative and spaced", "[vantrel]\nport = -1\ntimeout = -30 \n", "", "1", "localhost",
         -1, -30},
    };
    SettingsFile settings;
    VANTREL_NEED_SETTINGS(settings);
    for (const auto& c : cases) {
        if (c.file)
            settings.write(c.file);
        else
            settings.remove();
        SettingsProbe probe;
        EXPECT_EQ(probe.currency, c.currency) << c.name;
        EXPECT_EQ(probe.kkm, c.kkm) << c.name;
        EXPECT_EQ(probe.host, c.host) << c.name;
        EXPECT_EQ(probe.port, c.port) << c.name;
        EXPECT_EQ(probe.timeout, c.timeout) << c.name;
    }
    // Nothing is written back.
    settings.write("[vantrel]\nport=abc\n");
    { SettingsProbe probe; }
    EXPECT_EQ(readFile(settingsPath()), "[vantrel]\nport=abc\n");
}

TEST(VantrelEnableQueries, PaymentAndCancelForTypesOneToThreeTotalsAlways)
{
    ensureApp();
    VantrelPaymentProcessing object(nullptr);
    AbstractPaymentProcessing& host = object;
    const struct {
        int type;
        bool enabled;
    } cases[] = {{INT_MIN, false}, {-1, false}, {0, false}, {1, true},
                 {2, true},        {3, true},   {4, false}, {INT_MAX, false}};
    for (const auto& c : cases) {
        const auto type = PaymentProcessingRequest::Type(c.type);
        EXPECT_EQ(object.isPaymentEnable(type), c.enabled) << c.type;
        EXPECT_EQ(host.isPaymentEnable(type), c.enabled) << c.type;
        EXPECT_EQ(object.isCancelEnable(type), c.enabled) << c.type;
        EXPECT_EQ(host.isCancelEnable(type), c.enabled) << c.type;
    }
    EXPECT_TRUE(host.isCheckTotalsEnable());
    EXPECT_FALSE(host.isPaymentEnable(QSharedPointer<AbstractDocument>()));
    EXPECT_FALSE(host.isUsePaymentAsDiscount());
}

} // namespace
