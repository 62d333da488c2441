#pragma once

#include "CardMark.h"
#include "EPaymentMethod.h"
#include "Tr.h"

#include <QString>
#include <QStringList>

// The result of one operation of the payment interface, handed to the host by value.
class PaymentProcessingAnswer
{
public:
    // A fixed 4-byte type: the host may hand back any value it once received.
    enum Status : int {
        Success = 0,
        Failure = 1
    };

    PaymentProcessingAnswer();

    void setSuccess(bool ok);
    bool isSuccess() const;

    bool operator==(const PaymentProcessingAnswer& other) const;
    bool operator!=(const PaymentProcessingAnswer& other) const;

    void setCode(int code);
    int getCode() const;
    void setMessage(const tr::Tr& message);
    tr::Tr getMessage() const;
    void setStatus(Status status);
    Status getStatus() const;
    void setPrintImages(const QStringList& printImages);
    QStringList getPrintImages() const;
    void setTerminalNumber(int terminalNumber);
    int getTerminalNumber() const;
    void setCardType(const QString& cardType);
    QString getCardType() const;
    void setCardNumber(const QString& cardNumber);
    QString getCardNumber() const;
    void setAuthorizationCode(const QString& authorizationCode);
    QString getAuthorizationCode() const;
    void setRRN(const QString& rrn);
    QString getRRN() const;
    void setSum(double sum);
    double getSum() const;
    void setPosName(const QString& posName);
    QString getPosName() const;
    void setBalance(double balance);
    double getBalance() const;
    void setDiscCardNumber(const QString& discCardNumber);
    QString getDiscCardNumber() const;
    void setLoyaltyCards(const QStringList& loyaltyCards);
    QStringList getLoyaltyCards() const;
    void setHashedCardNumber(const QString& hashedCardNumber);
    QString getHashedCardNumber() const;
    void setCardMark(const CardMark& cardMark);
    CardMark getCardMark() const;
    void setQrCode(const QString& qrCode);
    QString getQrCode() const;
    void setPaymentMethod(EPaymentMethod paymentMethod);
    EPaymentMethod getPaymentMethod() const;

private:
    int code = 0;
    tr::Tr message;
    Status status = Failure;
    QStringList printImages;
    int terminalNumber = 0;
    QString cardType;
    QString cardNumber;
    QString authorizationCode;
    QString rrn;
    double sum = 0.0;
    QString posName;
    double balance = 0.0;
    QString discCardNumber;
    QStringList loyaltyCards;
    QString hashedCardNumber;
    CardMark cardMark;
    QString qrCode;
    EPaymentMethod paymentMethod = PaymentMethodUndefined;
};
