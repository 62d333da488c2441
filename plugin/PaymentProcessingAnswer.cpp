#include "PaymentProcessingAnswer.h"

PaymentProcessingAnswer::PaymentProcessingAnswer() = default;

void PaymentProcessingAnswer::setSuccess(bool ok)
{
    status = ok ? Success : Failure;
}

bool PaymentProcessingAnswer::isSuccess() const
{
    // Only 0 is success: any other value the host may hand back counts as failure.
    return status == Success;
}

bool PaymentProcessingAnswer::operator==(const PaymentProcessingAnswer& other) const
{
    // Doubles compare by plain ==, so a NaN sum or balance makes a record unequal even to
    // its own copy.
    return code == other.code
        && message == other.message
        && status == other.status
        && printImages == other.printImages
        && terminalNumber == other.terminalNumber
        && cardType == other.cardType
        && cardNumber == other.cardNumber
        && authorizationCode == other.authorizationCode
        && rrn == other.rrn
        && sum == other.sum
        && posName == other.posName
        && balance == other.balance
        && discCardNumber == other.discCardNumber
        && loyaltyCards == other.loyaltyCards
        && hashedCardNumber == other.hashedCardNumber
        && cardMark == other.cardMark
        && qrCode == other.qrCode
        && paymentMethod == other.paymentMethod;
}

bool PaymentProcessingAnswer::operator!=(const PaymentProcessingAnswer& other) const
{
    return !(*this == other);
}

void PaymentProcessingAnswer::setCode(int code)
{
    this->code = code;
}

int PaymentProcessingAnswer::getCode() const
{
    return code;
}

void PaymentProcessingAnswer::setMessage(const tr::Tr& message)
{
    this->message = message;
}

tr::Tr PaymentProcessingAnswer::getMessage() const
{
    return message;
}

void PaymentProcessingAnswer::setStatus(Status status)
{
    this->status = status;
}

PaymentProcessingAnswer::Status PaymentProcessingAnswer::getStatus() const
{
    return status;
}

void PaymentProcessingAnswer::setPrintImages(const QStringList& printImages)
{
    this->printImages = printImages;
}

QStringList PaymentProcessingAnswer::getPrintImages() const
{
    return printImages;
}

void PaymentProcessingAnswer::setTerminalNumber(int terminalNumber)
{
    this->terminalNumber = terminalNumber;
}

int PaymentProcessingAnswer::getTerminalNumber() const
{
    return terminalNumber;
}

void PaymentProcessingAnswer::setCardType(const QString& cardType)
{
    this->cardType = cardType;
}

QString PaymentProcessingAnswer::getCardType() const
{
    return cardType;
}

void PaymentProcessingAnswer::setCardNumber(const QString& cardNumber)
{
    this->cardNumber = cardNumber;
}

QString PaymentProcessingAnswer::getCardNumber() const
{
    return cardNumber;
}

void PaymentProcessingAnswer::setAuthorizationCode(const QString& authorizationCode)
{
    this->authorizationCode = authorizationCode;
}

QString PaymentProcessingAnswer::getAuthorizationCode() const
{
    return authorizationCode;
}

void PaymentProcessingAnswer::setRRN(const QString& rrn)
{
    this->rrn = rrn;
}

QString PaymentProcessingAnswer::getRRN() const
{
    return rrn;
}

void PaymentProcessingAnswer::setSum(double sum)
{
    this->sum = sum;
}

double PaymentProcessingAnswer::getSum() const
{
    return sum;
}

void PaymentProcessingAnswer::setPosName(const QString& posName)
{
    this->posName = posName;
}

QString PaymentProcessingAnswer::getPosName() const
{
    return posName;
}

void PaymentProcessingAnswer::setBalance(double balance)
{
    this->balance = balance;
}

double PaymentProcessingAnswer::getBalance() const
{
    return balance;
}

void PaymentProcessingAnswer::setDiscCardNumber(const QString& discCardNumber)
{
    this->discCardNumber = discCardNumber;
}

QString PaymentProcessingAnswer::getDiscCardNumber() const
{
    return discCardNumber;
}

void PaymentProcessingAnswer::setLoyaltyCards(const QStringList& loyaltyCards)
{
    this->loyaltyCards = loyaltyCards;
}

QStringList PaymentProcessingAnswer::getLoyaltyCards() const
{
    return loyaltyCards;
}

void PaymentProcessingAnswer::setHashedCardNumber(const QString& hashedCardNumber)
{
    this->hashedCardNumber = hashedCardNumber;
}

QString PaymentProcessingAnswer::getHashedCardNumber() const
{
    return hashedCardNumber;
}

void PaymentProcessingAnswer::setCardMark(const CardMark& cardMark)
{
    this->cardMark = cardMark;
}

CardMark PaymentProcessingAnswer::getCardMark() const
{
    return cardMark;
}

void PaymentProcessingAnswer::setQrCode(const QString& qrCode)
{
    this->qrCode = qrCode;
}

QString PaymentProcessingAnswer::getQrCode() const
{
    return qrCode;
}

void PaymentProcessingAnswer::setPaymentMethod(EPaymentMethod paymentMethod)
{
    this->paymentMethod = paymentMethod;
}

EPaymentMethod PaymentProcessingAnswer::getPaymentMethod() const
{
    return paymentMethod;
}
