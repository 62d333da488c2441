#include "VantrelPaymentProcessing.h"

#include "log4qt/logger.h"
#include "log4qt/logmanager.h"
#include "qjson/serializer.h"

#include <QByteArray>
#include <QDate>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QPointer>
#include <QSettings>
#include <QTcpSocket>
#include <QTime>
#include <QVariant>
#include <QVariantMap>

#include <climits>
#include <cstddef>
#include <cstring>

namespace {

const char kClassName[] = "VantrelPaymentProcessing";
const char kBaseName[] = "BasicPaymentProcessing";
// The identifier under which the host declares AbstractPaymentProcessing.
const char kInterfaceId[] = "QuorinPaymentProcessing/1.0";

const char kSettingsPath[] = "/morvask/cash/paysystems/vantrel/vantrel.conf";
const char kTotalsType[] = "0520000000";

const int kConnectMs = 3000;
const int kWriteMs = 3000;
// The server's answers fit its 10240-byte write buffer; far more than that is not an answer,
// and collecting it without bound would let a peer exhaust the host's memory.
const int kMaxAnswerBytes = 1 << 20;

// Everything up to the first NUL byte, decoded as UTF-8.
QString utf8UpToNul(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

// A slip amount in major units from the answer's amount in minor units. Done on the digits
// rather than through int or double, so that an amount of any length prints exactly instead
// of wrapping around; anything that is not a whole number prints as 0.00.
QString slipAmount(const QString& minorUnits)
{
    QString digits = minorUnits;
    bool negative = false;
    if (digits.startsWith(QLatin1Char('-')) || digits.startsWith(QLatin1Char('+'))) {
        negative = digits.at(0) == QLatin1Char('-');
        digits.remove(0, 1);
    }
    bool wellFormed = !digits.isEmpty();
    for (const QChar c : digits)
        wellFormed = wellFormed && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!wellFormed)
        return QStringLiteral("0.00");

    int start = 0;
    while (start < digits.size() - 1 && digits.at(start) == QLatin1Char('0'))
        ++start;
    digits = digits.mid(start);
    if (digits == QLatin1String("0"))
        negative = false;
    while (digits.size() < 3)
        digits.prepend(QLatin1Char('0'));
    digits.insert(digits.size() - 2, QLatin1Char('.'));
    return negative ? QLatin1Char('-') + digits : digits;
}

// The terminal's date and time "yyMMddhhmmss" as "dd.MM.yy hh:mm:ss", or the empty text.
// Read as a plain calendar date in this century: no time zone (a local-time reading drops
// times that fall into a daylight-saving gap) and no 19yy year (which loses 29.02.00).
QString slipDateTime(const QString& tdt)
{
    if (tdt.size() != 12)
        return QString(QLatin1String(""));
    int fields[6];
    for (int i = 0; i < 6; ++i) {
        const QChar high = tdt.at(2 * i);
        const QChar low = tdt.at(2 * i + 1);
        if (high < QLatin1Char('0') || high > QLatin1Char('9') || low < QLatin1Char('0')
            || low > QLatin1Char('9'))
            return QString(QLatin1String(""));
        fields[i] = high.digitValue() * 10 + low.digitValue();
    }
    const QDate date(2000 + fields[0], fields[1], fields[2]);
    const QTime time(fields[3], fields[4], fields[5]);
    if (!date.isValid() || !time.isValid())
        return QString(QLatin1String(""));
    return date.toString(QStringLiteral("dd.MM.yy")) + QLatin1Char(' ')
           + time.toString(QStringLiteral("hh:mm:ss"));
}

PaymentProcessingAnswer failed(PaymentProcessingAnswer& answer, Log4Qt::Logger* logger,
                               const char* id, const QString& text, const QString& error)
{
    answer.setMessage(tr::Tr(QString::fromLatin1(id), text).arg(error));
    logger->error(answer.getMessage().ru());
    return answer;
}

PaymentProcessingAnswer refused(Log4Qt::Logger* logger, const QString& line)
{
    logger->error(line);
    PaymentProcessingAnswer answer;
    answer.setMessage(tr::Tr(QStringLiteral("vantrelPaymentProcessingOperationNotSupported"),
                             QStringLiteral("Операция не поддерживается")));
    return answer;
}

// Runs one exchange; whatever escapes it (in practice only an exhausted heap) becomes a
// failed answer, since an exception must never reach the host.
PaymentProcessingAnswer guardedExec(VantrelPaymentProcessing* self, Log4Qt::Logger* logger,
                                    const QString& type, int amount, const QString& trace)
{
    try {
        return self->exec(type, amount, trace);
    } catch (...) {
        try {
            PaymentProcessingAnswer answer;
            answer.setMessage(tr::Tr(QStringLiteral("unknownError"),
                                     QStringLiteral("Неизвестная ошибка")));
            logger->error(answer.getMessage().ru());
            return answer;
        } catch (...) {
            return PaymentProcessingAnswer();
        }
    }
}

// The meta-object: class name only, superclass QObject, no methods or properties.
struct MetaStrings {
    QByteArrayData data[1];
    char className[sizeof(kClassName)];
};

const MetaStrings metaStrings = {
    {Q_STATIC_BYTE_ARRAY_DATA_HEADER_INITIALIZER_WITH_OFFSET(
        sizeof(kClassName) - 1, qptrdiff(offsetof(MetaStrings, className)))},
    "VantrelPaymentProcessing"};

const uint metaData[] = {
    7,     // revision: the oldest layout every Qt 5 reads
    0,     // class name: string 0
    0, 0,  // class info
    0, 0,  // methods
    0, 0,  // properties
    0, 0,  // enumerations
    0, 0,  // constructors
    0,     // flags
    0,     // signals
    0      // end
};

// Qt 5's plug-in metadata, spelled out so that it does not depend on the Qt version that
// builds the plug-in. The loader finds it in this section without loading the library.
__attribute__((section(".qtmetadata"), used))
const unsigned char pluginMetaData[] = {
    'Q', 'T', 'M', 'E', 'T', 'A', 'D', 'A', 'T', 'A', ' ', '!',
    0,      // metadata version
    5, 12,  // built for Qt 5.12
    0,      // no architecture requirements: a release build
    0xbf,   // CBOR map of indefinite length
    0x02, 0x78, 0x18,  // key 2 (IID): a text of 24 bytes
    'V', 'a', 'n', 't', 'r', 'e', 'l', 'P', 'a', 'y', 'm', 'e', 'n', 't',
    'P', 'r', 'o', 'c', 'e', 's', 's', 'i', 'n', 'g',
    0x03, 0x78, 0x18,  // key 3 (class name): a text of 24 bytes
    'V', 'a', 'n', 't', 'r', 'e', 'l', 'P', 'a', 'y', 'm', 'e', 'n', 't',
    'P', 'r', 'o', 'c', 'e', 's', 's', 'i', 'n', 'g',
    0xff    // break
};

} // namespace

const QMetaObject VantrelPaymentProcessing::staticMetaObject = {
    {&QObject::staticMetaObject, metaStrings.data, metaData,
     &VantrelPaymentProcessing::qt_static_metacall, nullptr, nullptr}};

void VantrelPaymentProcessing::qt_static_metacall(QObject*, QMetaObject::Call, int, void**)
{
}

const QMetaObject* VantrelPaymentProcessing::metaObject() const
{
    return QObject::d_ptr->metaObject ? QObject::d_ptr->dynamicMetaObject() : &staticMetaObject;
}

void* VantrelPaymentProcessing::qt_metacast(const char* name)
{
    if (!name)
        return nullptr;
    if (!std::strcmp(name, kClassName))
        return static_cast<void*>(this);
    if (!std::strcmp(name, kBaseName))
        return static_cast<BasicPaymentProcessing*>(this);
    if (!std::strcmp(name, kInterfaceId))
        return static_cast<AbstractPaymentProcessing*>(this);
    return QObject::qt_metacast(name);
}

int VantrelPaymentProcessing::qt_metacall(QMetaObject::Call call, int id, void** arguments)
{
    return QObject::qt_metacall(call, id, arguments);
}

extern "C" Q_DECL_EXPORT const char* qt_plugin_query_metadata()
{
    return reinterpret_cast<const char*>(pluginMetaData);
}

extern "C" Q_DECL_EXPORT QObject* qt_plugin_instance()
{
    // Guarded, so that once the host has deleted the object the next call makes a new one.
    static QPointer<QObject> instance;
    try {
        if (!instance)
            instance = new VantrelPaymentProcessing(nullptr);
        return instance;
    } catch (...) {
        return nullptr;
    }
}

VantrelPaymentProcessing::VantrelPaymentProcessing(QObject* parent)
    : QObject(parent), BasicPaymentProcessing()
{
    logger = Log4Qt::LogManager::logger(QStringLiteral("payment"), QString());

    QSettings settings(QString::fromLatin1(kSettingsPath), QSettings::IniFormat);
    currency = settings.value(QStringLiteral("vantrel/currency"), QString()).toString();
    kkm = settings.value(QStringLiteral("vantrel/kkm"), QStringLiteral("1")).toString();
    host = settings.value(QStringLiteral("vantrel/host"), QStringLiteral("localhost")).toString();
    port = settings.value(QStringLiteral("vantrel/port"), 3232).toInt();
    timeout = settings.value(QStringLiteral("vantrel/timeout"), 300).toInt();
}

VantrelPaymentProcessing::~VantrelPaymentProcessing() = default;

bool VantrelPaymentProcessing::isPaymentEnable(PaymentProcessingRequest::Type type) const
{
    return unsigned(type) - 1u < 3u;
}

bool VantrelPaymentProcessing::isCancelEnable(PaymentProcessingRequest::Type type) const
{
    return unsigned(type) - 1u < 3u;
}

bool VantrelPaymentProcessing::isCheckTotalsEnable() const
{
    return true;
}

PaymentProcessingAnswer VantrelPaymentProcessing::payment(const PaymentProcessingRequest& request)
{
    QString type;
    if (unsigned(request.type) - 2u < 2u) {
        logger->info(QStringLiteral("Возврат"));
        type = QStringLiteral("0200200000");
    } else if (request.type == PaymentProcessingRequest::Payment) {
        logger->info(QStringLiteral("Оплата"));
        type = QStringLiteral("0200000000");
    }
    return guardedExec(this, logger, type, request.amount, QString());
}

PaymentProcessingAnswer VantrelPaymentProcessing::cancel(const PaymentProcessingRequest& request)
{
    logger->info(QStringLiteral("Отмена операции"));
    return guardedExec(this, logger, QStringLiteral("0400000000"), request.amount, request.rrn);
}

PaymentProcessingAnswer VantrelPaymentProcessing::checkTotals(int)
{
    logger->info(QStringLiteral("Сверка итогов"));
    return guardedExec(this, logger, QString::fromLatin1(kTotalsType), 0, QString());
}

PaymentProcessingAnswer VantrelPaymentProcessing::printCopy(int)
{
    return refused(logger, QStringLiteral("Печать копии слипа не поддерживается"));
}

PaymentProcessingAnswer VantrelPaymentProcessing::printReport()
{
    return refused(logger, QStringLiteral("Печать полного отчета не поддерживается"));
}

PaymentProcessingAnswer VantrelPaymentProcessing::printShortReport()
{
    return refused(logger, QStringLiteral("Печать краткого отчета не поддерживается"));
}

PaymentProcessingAnswer VantrelPaymentProcessing::balance(const QString&)
{
    return refused(logger, QStringLiteral("Запрос состояния счета не поддерживается"));
}

QString VantrelPaymentProcessing::makeRequestXML(const QString& type, int amount,
                                                 const QString& trace)
{
    QDomDocument document;
    document.insertBefore(
        document.createProcessingInstruction(QStringLiteral("xml"),
                                             QStringLiteral("version=\"1.0\" encoding=\"utf-8\"")),
        document.firstChild());

    QDomElement root = document.createElement(QStringLiteral("mess"));
    auto append = [&document, &root](const QString& name, const QString& text) {
        QDomElement element = document.createElement(name);
        element.appendChild(document.createTextNode(text));
        root.appendChild(element);
    };
    append(QStringLiteral("type"), type);
    if (amount > 0)
        append(QStringLiteral("amount"), QString::number(amount, 10));
    if (!currency.isEmpty())
        append(QStringLiteral("currency"), currency);
    append(QStringLiteral("kkm"), kkm);
    if (!trace.isEmpty())
        append(QStringLiteral("trace"), trace);
    document.appendChild(root);
    return document.toString(1);
}

PaymentProcessingAnswer VantrelPaymentProcessing::exec(const QString& type, int amount,
                                                       const QString& trace)
{
    const QString request = makeRequestXML(type, amount, trace);
    logger->info(QStringLiteral("Выполнение запроса к терминалу, хост: %1, порт: %2, данные: %3"),
                 host, port, request);

    PaymentProcessingAnswer answer;
    QTcpSocket socket;

    logger->debug(QStringLiteral("Подключение к сервису dorvish"));
    socket.connectToHost(host, quint16(port), QIODevice::ReadWrite,
                         QAbstractSocket::AnyIPProtocol);
    if (!socket.waitForConnected(kConnectMs))
        return failed(answer, logger, "vantrelPaymentProcessingDorvishConnectionError",
                      QStringLiteral("Ошибка подключения к сервису dorvish: %1"),
                      socket.errorString());

    logger->debug(QStringLiteral("Отправки данных на сервис dorvish"));
    socket.write(request.toUtf8());
    if (!socket.waitForBytesWritten(kWriteMs))
        return failed(answer, logger, "vantrelPaymentProcessingDorvishSendError",
                      QStringLiteral("Ошибка отправки данных на сервис dorvish: %1"),
                      socket.errorString());

    const QByteArray open("<mess>");
    const QByteArray close("</mess>");
    QByteArray buffer;
    if (timeout > 0) {
        // One monotonic deadline for the whole answer: a wall-clock step cannot stretch the
        // wait, and seconds beyond what a 32-bit millisecond count holds are capped, not wrapped.
        const qint64 budget = qMin<qint64>(qint64(timeout) * 1000, INT_MAX);
        QElapsedTimer clock;
        clock.start();
        qint64 remaining = budget;
        for (;;) {
            logger->debug(QStringLiteral("Ожидание данных от сервиса dorvish"));
            // Bytes that arrived while the request was being written (the greeting, or a quick
            // error answer) already sit in the socket's buffer, and waiting would only wait for
            // more.
            if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(remaining)))
                return failed(answer, logger, "vantrelPaymentProcessingDorvishReceiveError",
                              QStringLiteral("Ошибка получения данных от сервиса dorvish: %1"),
                              socket.errorString());
            const QString text = utf8UpToNul(socket.readAll());
            logger->debug(QStringLiteral(" получены данные: %1"), text);
            buffer += text.toUtf8();
            if (buffer.contains(open) && buffer.contains(close))
                break;
            if (buffer.size() > kMaxAnswerBytes)
                break;
            remaining = budget - clock.elapsed();
            if (remaining <= 0)
                break;
        }
    }

    const int first = buffer.indexOf(open);
    const int last = buffer.lastIndexOf(close);
    buffer = buffer.mid(first, last + close.size() - first);
    socket.disconnectFromHost();

    const QString text = utf8UpToNul(buffer);
    logger->info(QStringLiteral("Получен ответ от терминала: %1"), text);
    answer = parseResultXml(text, type);
    return answer;
}

QMap<QString, QString> initTypeNames()
{
    QMap<QString, QString> names;
    names.insert(QStringLiteral("0200000000"), QStringLiteral("Оплата"));
    names.insert(QStringLiteral("0200200000"), QStringLiteral("Возврат"));
    names.insert(QStringLiteral("0400000000"), QStringLiteral("Отмена"));
    names.insert(QStringLiteral("0520000000"), QStringLiteral("Сверка итогов"));
    return names;
}

QMap<int, tr::Tr> initCodeMsg()
{
    QMap<int, tr::Tr> messages;
    messages.insert(0, tr::Tr(QStringLiteral("vantrelPaymentProcessingSuccess"),
                              QStringLiteral("Запрос выполнен успешно")));
    messages.insert(910, tr::Tr(QStringLiteral("vantrelPaymentProcessingRrnNotFound"),
                                QStringLiteral("RRN не найден")));
    messages.insert(911, tr::Tr(QStringLiteral("vantrelPaymentProcessingNoConnection"),
                                QStringLiteral("Нет соединения")));
    messages.insert(912, tr::Tr(QStringLiteral("vantrelPaymentProcessingRequestError"),
                                QStringLiteral("Ошибка выполнения запроса")));
    messages.insert(913, tr::Tr(QStringLiteral("vantrelPaymentProcessingIncorrectRequest"),
                                QStringLiteral("Некорректный запрос")));
    messages.insert(914, tr::Tr(QStringLiteral("vantrelPaymentProcessingPinpadIsBusy"),
                                QStringLiteral("Пинпад занят")));
    return messages;
}

PaymentProcessingAnswer VantrelPaymentProcessing::parseResultXml(const QString& xml,
                                                                 const QString& type)
{
    PaymentProcessingAnswer result;

    QDomDocument document;
    QString error;
    if (!document.setContent(xml, false, &error)) {
        result.setMessage(tr::Tr(QStringLiteral("vantrelPaymentProcessingXmlpParseError"),
                                 QStringLiteral("Ошибка разбора XML: %1"))
                              .arg(error));
        logger->error(result.getMessage().ru());
        return result;
    }

    const QDomElement root = document.documentElement();
    auto text = [&root](const char* name) {
        return root.firstChildElement(QString::fromLatin1(name)).text();
    };

    bool ok = false;
    int code = text("code").toInt(&ok, 10);
    if (!ok)
        code = 1000;
    if (code == 0)
        result.setStatus(PaymentProcessingAnswer::Success);
    result.setCode(code);

    result.setRRN(text("trace"));
    result.setCardType(text("cardtype"));
    result.setCardNumber(text("card"));

    tr::Tr message(QStringLiteral("undefined"), text("resp"));
    if (message.isEmpty()) {
        static const QMap<int, tr::Tr> codeMessages = initCodeMsg();
        message = codeMessages.value(code, tr::Tr(QStringLiteral("unknownError"),
                                                  QStringLiteral("Неизвестная ошибка")));
    }
    result.setMessage(message);

    QVariantMap variables;
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        const QString value = node.firstChild().nodeValue().trimmed();
        variables[node.nodeName()] = value.isNull() ? QString(QLatin1String("")) : value;
    }
    variables[QStringLiteral("resp")] = result.getMessage().ui();
    variables[QStringLiteral("amount")] =
        slipAmount(variables[QStringLiteral("amount")].toString());

    QVariantMap report;
    report[QStringLiteral("report")] = QStringLiteral("vantrel");

    static const QMap<QString, QString> typeNames = initTypeNames();
    variables[QStringLiteral("slipnum")] = 1;
    variables[QStringLiteral("typename")] = typeNames.value(type, QString(QLatin1String("")));
    // A missing tdt stays in the variables as an entry without a value (null in the JSON).
    variables[QStringLiteral("tdttext")] =
        slipDateTime(variables[QStringLiteral("tdt")].toString());

    QJson::Serializer serializer;
    QStringList images;
    report[QStringLiteral("variables")] = variables;
    images.append(utf8UpToNul(serializer.serialize(report)));
    if (type != QLatin1String(kTotalsType)) {
        variables[QStringLiteral("slipnum")] = 2;
        report[QStringLiteral("variables")] = variables;
        images.append(utf8UpToNul(serializer.serialize(report)));
    }
    result.setPrintImages(images);
    return result;
}
