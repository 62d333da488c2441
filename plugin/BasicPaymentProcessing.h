#pragma once

#include "AbstractPaymentProcessing.h"
#include "Tr.h"

#include <QString>

#include <time.h>

// Default implementation of the host's payment interface: every operation that returns a
// result answers that it is unavailable and every query gives a neutral value, so that a
// concrete plug-in overrides only what it supports.
class BasicPaymentProcessing : public AbstractPaymentProcessing
{
public:
    BasicPaymentProcessing();
    ~BasicPaymentProcessing() override;

    void init() override;
    bool isPaymentEnable(PaymentProcessingRequest::Type type) const override;
    bool isPaymentEnable(const QSharedPointer<AbstractDocument>& document) const override;
    bool isCancelEnable(PaymentProcessingRequest::Type type) const override;
    bool isCheckTotalsEnable() const override;
    bool isUsePaymentAsDiscount() const override;
    PaymentProcessingAnswer payment(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer change(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer cancel(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer checkTotals(int merchant) override;
    PaymentProcessingAnswer checkTotalsByMerchantId(const QString& merchantId) override;
    PaymentProcessingAnswer printCopy(int number) override;
    PaymentProcessingAnswer printReport() override;
    PaymentProcessingAnswer printReportByMerchantId(const QString& merchantId) override;
    PaymentProcessingAnswer printShortReport() override;
    PaymentProcessingAnswer balance(const QString& account) override;
    PaymentProcessingAnswer discountCard() override;
    PaymentProcessingAnswer loyaltyCards(const QString& cardNumber) override;
    bool checkOption(EPaymentProcessingOption::Option option) const override;
    void setOption(EPaymentProcessingOption::Option option, bool on) override;
    void cancelCardRequest() override;
    QMap<QString, QString> getMessageInfo() const override;
    QString getDialogScanMask() const override;
    QString getDialogImagePath() const override;
    PaymentProcessingAnswer testConnection() override;
    PaymentProcessingAnswer demandPinCode() override;
    PaymentProcessingAnswer demandQRCode(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer getPaymentByQRCodeStatus(const QString& id) override;
    int getWaitPaymentByQRCodeDuration() const override;
    int getIntervalBetweenStatusRequests() const override;
    void cancelPaymentByQRCodeInQueue(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer paymentByQRCodeOnPinPad(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer cancelByQRCodeOnPinPad(const PaymentProcessingRequest& request) override;
    void setProcessingDirectory(const QString& directory) override;
    bool interruptPayment() override;
    int getValutCodeForGetHashedCardNumber() const override;
    PaymentProcessingAnswer getHashedCardNumber() override;

    // An answer with the given message and every other field at its default (a failure).
    PaymentProcessingAnswer makeResult(const tr::Tr& message);
    // Blocks until `seconds` have passed since the last setLastOperationTime().
    void waitBeforeNextOperation(int seconds) const;
    void setLastOperationTime();

protected:
    // The wait still due at `now` for an operation recorded at `last`, in microseconds;
    // 0 when none is due.
    static qint64 remainingMicroseconds(int seconds, const timespec& last, const timespec& now);

private:
    EPaymentProcessingOption::Options options;
    timespec lastOperationTime;

protected:
    // Handed over by the host for subclasses; nothing here reads it.
    QString processingDirectory;
};
