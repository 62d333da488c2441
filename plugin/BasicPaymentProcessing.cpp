#include "BasicPaymentProcessing.h"

#include <cerrno>
#include <limits>

namespace {

PaymentProcessingAnswer unavailable(const char* id, const char* ruText)
{
    PaymentProcessingAnswer answer;
    answer.setMessage(tr::Tr(QString::fromLatin1(id), QString::fromUtf8(ruText)));
    return answer;
}

} // namespace

BasicPaymentProcessing::BasicPaymentProcessing()
    : lastOperationTime{0, 0}
{
}

BasicPaymentProcessing::~BasicPaymentProcessing() = default;

void BasicPaymentProcessing::init()
{
}

bool BasicPaymentProcessing::isPaymentEnable(PaymentProcessingRequest::Type) const
{
    return false;
}

bool BasicPaymentProcessing::isPaymentEnable(const QSharedPointer<AbstractDocument>&) const
{
    return false;
}

bool BasicPaymentProcessing::isCancelEnable(PaymentProcessingRequest::Type) const
{
    return false;
}

bool BasicPaymentProcessing::isCheckTotalsEnable() const
{
    return false;
}

bool BasicPaymentProcessing::isUsePaymentAsDiscount() const
{
    return false;
}

PaymentProcessingAnswer BasicPaymentProcessing::payment(const PaymentProcessingRequest&)
{
    return unavailable("basicPaymentProcessingPayment", "Операция оплаты недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::change(const PaymentProcessingRequest&)
{
    return unavailable("basicPaymentProcessingChange", "Операция сдачи недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::cancel(const PaymentProcessingRequest&)
{
    return unavailable("basicPaymentProcessingCancel", "Операция отмены недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::checkTotals(int)
{
    return unavailable("basicPaymentProcessingCheckTotals", "Операция сверки итогов недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::checkTotalsByMerchantId(const QString&)
{
    return unavailable("basicPaymentProcessingCheckTotalsByMerchant",
                       "Операция сверки итогов для юр. лица недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printCopy(int)
{
    return unavailable("basicPaymentProcessingPrintCopy", "Операция печати копии недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printReport()
{
    return unavailable("basicPaymentProcessingPrintReport",
                       "Операция печати полного отчета недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printReportByMerchantId(const QString&)
{
    return unavailable("basicPaymentProcessingPrintReportByMerchant",
                       "Операция печати полного отчета для юр. лица недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printShortReport()
{
    return unavailable("basicPaymentProcessingPrintShortReport",
                       "Операция печати короткого отчета недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::balance(const QString&)
{
    return unavailable("basicPaymentProcessingBalance", "Операция запроса баланса недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::discountCard()
{
    return unavailable("basicPaymentProcessingDiscountCard",
                       "Операция получения скидочной карты недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::loyaltyCards(const QString&)
{
    return unavailable("basicPaymentProcessingLoyaltyCards",
                       "Операция получения списка карт лояльности недоступна");
}

bool BasicPaymentProcessing::checkOption(EPaymentProcessingOption::Option option) const
{
    // Every bit of the option must be set; option 0 counts as set only while nothing is.
    const uint bits = uint(option);
    const uint set = uint(options);
    return (set & bits) == bits && (bits != 0 || set == 0);
}

void BasicPaymentProcessing::setOption(EPaymentProcessingOption::Option option, bool on)
{
    if (on)
        options |= option;
    else if (checkOption(option))
        options ^= option;  // all its bits are set, so the toggle clears exactly them
}

void BasicPaymentProcessing::cancelCardRequest()
{
}

QMap<QString, QString> BasicPaymentProcessing::getMessageInfo() const
{
    return QMap<QString, QString>();
}

QString BasicPaymentProcessing::getDialogScanMask() const
{
    return QStringLiteral(".*");
}

QString BasicPaymentProcessing::getDialogImagePath() const
{
    return QString();
}

PaymentProcessingAnswer BasicPaymentProcessing::testConnection()
{
    return unavailable("basicPaymentProcessingTestConnection",
                       "Операция проверки связи недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::demandPinCode()
{
    return unavailable("basicPaymentProcessingDemandPinCode",
                       "Операция запроса пин-кода недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::demandQRCode(const PaymentProcessingRequest&)
{
    return unavailable("basicPaymentProcessingDemandQrCode",
                       "Операция запроса QR-кода недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::getPaymentByQRCodeStatus(const QString&)
{
    return unavailable("basicPaymentProcessingGetPaymentByQRCodeStatus",
                       "Операция получения статуса оплаты по QR-коду недоступна");
}

int BasicPaymentProcessing::getWaitPaymentByQRCodeDuration() const
{
    return 0;
}

int BasicPaymentProcessing::getIntervalBetweenStatusRequests() const
{
    return 1;
}

void BasicPaymentProcessing::cancelPaymentByQRCodeInQueue(const PaymentProcessingRequest&)
{
}

PaymentProcessingAnswer BasicPaymentProcessing::paymentByQRCodeOnPinPad(
    const PaymentProcessingRequest&)
{
    return unavailable("basicPaymentProcessingPaymentByQRCodeOnPinPad",
                       "Операция оплаты по QR-коду на PinPad недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::cancelByQRCodeOnPinPad(
    const PaymentProcessingRequest&)
{
    return unavailable("basicPaymentProcessingCancelByQRCodeOnPinPad",
                       "Операция отмены оплаты по QR-коду на PinPad недоступна");
}

void BasicPaymentProcessing::setProcessingDirectory(const QString& directory)
{
    if (!directory.isEmpty())
        processingDirectory = directory;
}

bool BasicPaymentProcessing::interruptPayment()
{
    return false;
}

int BasicPaymentProcessing::getValutCodeForGetHashedCardNumber() const
{
    return -1;
}

PaymentProcessingAnswer BasicPaymentProcessing::getHashedCardNumber()
{
    return unavailable("basicPaymentProcessingGetHashedCardNumber",
                       "Операция получения хэшированного номера карты недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::makeResult(const tr::Tr& message)
{
    PaymentProcessingAnswer answer;
    answer.setMessage(message);
    return answer;
}

void BasicPaymentProcessing::setLastOperationTime()
{
    clock_gettime(CLOCK_MONOTONIC, &lastOperationTime);
}

qint64 BasicPaymentProcessing::remainingMicroseconds(int seconds, const timespec& last,
                                                     const timespec& now)
{
    if (seconds <= 0 || last.tv_sec <= 0)
        return 0;
    // 64-bit throughout: a long wait must not wrap, also where time_t is 32 bits.
    const qint64 wholeSeconds = qint64(seconds) + qint64(last.tv_sec) - qint64(now.tv_sec);
    if (wholeSeconds < 0)
        return 0;
    if (wholeSeconds == 0 && last.tv_nsec <= now.tv_nsec)
        return 0;
    const qint64 micros =
        wholeSeconds * 1000000 + (qint64(last.tv_nsec) - qint64(now.tv_nsec)) / 1000;
    return micros > 0 ? micros : 0;
}

void BasicPaymentProcessing::waitBeforeNextOperation(int seconds) const
{
    timespec now{0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (remainingMicroseconds(seconds, lastOperationTime, now) == 0)
        return;

    // Sleep to an absolute deadline, so that a signal that wakes the thread early does not
    // cut the wait short.
    timespec deadline = lastOperationTime;
    const qint64 deadlineSeconds = qint64(lastOperationTime.tv_sec) + seconds;
    const qint64 maxSeconds = std::numeric_limits<time_t>::max();
    deadline.tv_sec = time_t(deadlineSeconds < maxSeconds ? deadlineSeconds : maxSeconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
