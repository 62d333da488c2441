#pragma once

#include "BasicPaymentProcessing.h"
#include "PaymentProcessingAnswer.h"
#include "Tr.h"

#include <QMap>
#include <QObject>
#include <QString>

namespace Log4Qt {
class Logger;
}

// Operation names printed on the slips, by request type code.
Q_DECL_EXPORT QMap<QString, QString> initTypeNames();
// Operator messages for the answer codes the server may send without a text.
Q_DECL_EXPORT QMap<int, tr::Tr> initCodeMsg();

// The payment plug-in object the POS host loads: carries payments, refunds, cancellations
// and totals reconciliations to the dorvish server over TCP, one connection per operation.
//
// The meta-object is written by hand rather than by moc so that its casts are exactly the
// ones the host relies on, whatever Qt 5 version builds the plug-in.
class VantrelPaymentProcessing : public QObject, public BasicPaymentProcessing
{
public:
    static const QMetaObject staticMetaObject;
    const QMetaObject* metaObject() const override;
    void* qt_metacast(const char* name) override;
    int qt_metacall(QMetaObject::Call call, int id, void** arguments) override;

    explicit VantrelPaymentProcessing(QObject* parent = nullptr);
    ~VantrelPaymentProcessing() override;

    bool isPaymentEnable(PaymentProcessingRequest::Type type) const override;
    using BasicPaymentProcessing::isPaymentEnable;
    bool isCancelEnable(PaymentProcessingRequest::Type type) const override;
    bool isCheckTotalsEnable() const override;

    PaymentProcessingAnswer payment(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer cancel(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer checkTotals(int merchant) override;
    PaymentProcessingAnswer printCopy(int number) override;
    PaymentProcessingAnswer printReport() override;
    PaymentProcessingAnswer printShortReport() override;
    PaymentProcessingAnswer balance(const QString& account) override;

    // The request document for one operation; amount 0 or less and an empty trace are left out.
    QString makeRequestXML(const QString& type, int amount, const QString& trace);
    // One whole exchange with the server: connect, send the request, collect and parse the answer.
    PaymentProcessingAnswer exec(const QString& type, int amount, const QString& trace);
    // Turns the server's answer document into the result record with its slip print images.
    PaymentProcessingAnswer parseResultXml(const QString& xml, const QString& type);

private:
    static void qt_static_metacall(QObject* object, QMetaObject::Call call, int id, void** arguments);

protected:
    // Read once from the settings file when the object is made; subclasses may read them.
    QString currency;
    QString kkm;
    QString host;
    int port = 0;
    int timeout = 0;  // seconds
    Log4Qt::Logger* logger = nullptr;  // owned by Log4Qt's log manager
};
