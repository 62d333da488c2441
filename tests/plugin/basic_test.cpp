#include "BasicPaymentProcessing.h"
#include "qt_printers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

namespace {

using namespace EPaymentProcessingOption;

// Opens up what the base class keeps for its subclasses.
class Basic : public BasicPaymentProcessing
{
public:
    using BasicPaymentProcessing::remainingMicroseconds;
    QString directory() const { return processingDirectory; }
};

struct UnavailableCase {
    const char* operation;
    std::function<PaymentProcessingAnswer(AbstractPaymentProcessing&)> call;
    const char* id;
    const char* ruText;
};

TEST(BasicPaymentProcessing, EveryResultOperationAnswersUnavailable)
{
    const PaymentProcessingRequest request{PaymentProcessingRequest::Payment, 1500, "123"};
    const std::vector<UnavailableCase> cases = {
        {"payment", [&](AbstractPaymentProcessing& p) { return p.payment(request); },
         "basicPaymentProcessingPayment", "Операция оплаты недоступна"},
        {"change", [&](AbstractPaymentProcessing& p) { return p.change(request); },
         "basicPaymentProcessingChange", "Операция сдачи недоступна"},
        {"cancel", [&](AbstractPaymentProcessing& p) { return p.cancel(request); },
         "basicPaymentProcessingCancel", "Операция отмены недоступна"},
        {"checkTotals", [](AbstractPaymentProcessing& p) { return p.checkTotals(3); },
         "basicPaymentProcessingCheckTotals", "Операция сверки итогов недоступна"},
        {"checkTotalsByMerchantId",
         [](AbstractPaymentProcessing& p) { return p.checkTotalsByMerchantId("m1"); },
         "basicPaymentProcessingCheckTotalsByMerchant",
         "Операция сверки итогов для юр. лица недоступна"},
        {"printCopy", [](AbstractPaymentProcessing& p) { return p.printCopy(1); },
         "basicPaymentProcessingPrintCopy", "Операция печати копии недоступна"},
        {"printReport", [](AbstractPaymentProcessing& p) { return p.printReport(); },
         "basicPaymentProcessingPrintReport", "Операция печати полного отчета недоступна"},
        {"printReportByMerchantId",
         [](AbstractPaymentProcessing& p) { return p.printReportByMerchantId("m1"); },
         "basicPaymentProcessingPrintReportByMerchant",
         "Операция печати полного отчета для юр. лица недоступна"},
        {"printShortReport", [](AbstractPaymentProcessing& p) { return p.printShortReport(); },
         "basicPaymentProcessingPrintShortReport", "Операция печати короткого отчета недоступна"},
        {"balance", [](AbstractPaymentProcessing& p) { return p.balance("acc"); },
         "basicPaymentProcessingBalance", "Операция запроса баланса недоступна"},
        {"discountCard", [](AbstractPaymentProcessing& p) { return p.discountCard(); },
         "basicPaymentProcessingDiscountCard", "Операция получения скидочной карты недоступна"},
        {"loyaltyCards", [](AbstractPaymentProcessing& p) { return p.loyaltyCards("card"); },
         "basicPaymentProcessingLoyaltyCards",
         "Операция получения списка карт лояльности недоступна"},
        {"testConnection", [](AbstractPaymentProcessing& p) { return p.testConnection(); },
         "basicPaymentProcessingTestConnection", "Операция проверки связи недоступна"},
        {"demandPinCode", [](AbstractPaymentProcessing& p) { return p.demandPinCode(); },
         "basicPaymentProcessingDemandPinCode", "Операция запроса пин-кода недоступна"},
        {"demandQRCode", [&](AbstractPaymentProcessing& p) { return p.demandQRCode(request); },
         "basicPaymentProcessingDemandQrCode", "Операция запроса QR-кода недоступна"},
        {"getPaymentByQRCodeStatus",
         [](AbstractPaymentProcessing& p) { return p.getPaymentByQRCodeStatus("id"); },
         "basicPaymentProcessingGetPaymentByQRCodeStatus",
         "Операция получения статуса оплаты по QR-коду недоступна"},
        {"paymentByQRCodeOnPinPad",
         [&](AbstractPaymentProcessing& p) { return p.paymentByQRCodeOnPinPad(request); },
         "basicPaymentProcessingPaymentByQRCodeOnPinPad",
         "Операция оплаты по QR-коду на PinPad недоступна"},
        {"cancelByQRCodeOnPinPad",
         [&](AbstractPaymentProcessing& p) { return p.cancelByQRCodeOnPinPad(request); },
         "basicPaymentProcessingCancelByQRCodeOnPinPad",
         "Операция отмены оплаты по QR-коду на PinPad недоступна"},
        {"getHashedCardNumber", [](AbstractPaymentProcessing& p) { return p.getHashedCardNumber(); },
         "basicPaymentProcessingGetHashedCardNumber",
         "Операция получения хэшированного номера карты недоступна"},
    };

    Basic basic;
    AbstractPaymentProcessing& host = basic;  // the host calls through its interface
    for (const UnavailableCase& c : cases) {
        SCOPED_TRACE(c.operation);
        const PaymentProcessingAnswer answer = c.call(host);
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(int(answer.getStatus()), 1);
        EXPECT_EQ(answer.getCode(), 0);
        EXPECT_TRUE(answer.getPrintImages().isEmpty());
        EXPECT_EQ(answer.getMessage().id(), QString::fromUtf8(c.id));
        EXPECT_EQ(answer.getMessage().ru(), QString::fromUtf8(c.ruText));
        // Nothing but the message is set.
        EXPECT_TRUE(answer == basic.makeResult(tr::Tr(c.id, QString::fromUtf8(c.ruText))));
    }
}

TEST(BasicPaymentProcessing, QueriesGiveNeutralValues)
{
    Basic basic;
    AbstractPaymentProcessing& host = basic;
    for (int type : {0, 1, 2, 3, 4}) {
        EXPECT_FALSE(host.isPaymentEnable(static_cast<PaymentProcessingRequest::Type>(type)));
        EXPECT_FALSE(host.isCancelEnable(static_cast<PaymentProcessingRequest::Type>(type)));
    }
    EXPECT_FALSE(host.isPaymentEnable(QSharedPointer<AbstractDocument>()));
    EXPECT_FALSE(host.isPaymentEnable(QSharedPointer<AbstractDocument>(new AbstractDocument)));
    EXPECT_FALSE(host.isCheckTotalsEnable());
    EXPECT_FALSE(host.isUsePaymentAsDiscount());
    EXPECT_TRUE(host.getMessageInfo().isEmpty());
    EXPECT_EQ(host.getDialogScanMask(), ".*");
    EXPECT_TRUE(host.getDialogImagePath().isNull());
    EXPECT_EQ(host.getWaitPaymentByQRCodeDuration(), 0);
    EXPECT_EQ(host.getIntervalBetweenStatusRequests(), 1);
    EXPECT_FALSE(host.interruptPayment());
    EXPECT_EQ(host.getValutCodeForGetHashedCardNumber(), -1);

    // The do-nothing operations leave the object as it was.
    host.init();
    host.cancelCardRequest();
    host.cancelPaymentByQRCodeInQueue(PaymentProcessingRequest());
    EXPECT_TRUE(host.checkOption(NoOption));
    EXPECT_TRUE(basic.directory().isNull());
}

TEST(BasicPaymentProcessing, OptionsSetAndClearWholeBitGroupsOnly)
{
    const Option a = PrintSlipOnHost;
    const Option b = ManualCardEntry;
    const Option ab = static_cast<Option>(uint(a) | uint(b));

    Basic basic;
    EXPECT_TRUE(basic.checkOption(NoOption));  // 0 counts as set while nothing is
    EXPECT_FALSE(basic.checkOption(a));

    basic.setOption(a, true);
    EXPECT_TRUE(basic.checkOption(a));
    EXPECT_FALSE(basic.checkOption(b));
    EXPECT_FALSE(basic.checkOption(ab));        // every bit must be set
    EXPECT_FALSE(basic.checkOption(NoOption));  // ... and 0 no longer counts

    basic.setOption(ab, false);  // only partly set: untouched
    EXPECT_TRUE(basic.checkOption(a));
    basic.setOption(b, false);   // not set: untouched, no toggling it on
    EXPECT_FALSE(basic.checkOption(b));
    EXPECT_TRUE(basic.checkOption(a));
    basic.setOption(NoOption, false);
    basic.setOption(NoOption, true);
    EXPECT_TRUE(basic.checkOption(a));

    basic.setOption(ab, true);
    EXPECT_TRUE(basic.checkOption(ab));
    basic.setOption(ab, false);
    EXPECT_FALSE(basic.checkOption(a));
    EXPECT_FALSE(basic.checkOption(b));
    EXPECT_TRUE(basic.checkOption(NoOption));

    // Setting twice is the same as once; clearing once clears it.
    basic.setOption(a, true);
    basic.setOption(a, true);
    basic.setOption(a, false);
    EXPECT_FALSE(basic.checkOption(a));
}

TEST(BasicPaymentProcessing, ProcessingDirectoryKeepsTheLastNonEmptyOne)
{
    Basic basic;
    basic.setProcessingDirectory(QString());
    EXPECT_TRUE(basic.directory().isNull());
    basic.setProcessingDirectory("/var/lib/pos");
    EXPECT_EQ(basic.directory(), "/var/lib/pos");
    basic.setProcessingDirectory("");
    basic.setProcessingDirectory(QString());
    EXPECT_EQ(basic.directory(), "/var/lib/pos");
    basic.setProcessingDirectory("/tmp");
    EXPECT_EQ(basic.directory(), "/tmp");
}

TEST(BasicPaymentProcessing, MakeResultSetsOnlyTheMessage)
{
    Basic basic;
    const tr::Tr message = tr::Tr("someId", "Текст %1").arg("x");
    const PaymentProcessingAnswer answer = basic.makeResult(message);
    EXPECT_EQ(answer.getMessage(), message);
    PaymentProcessingAnswer expected;
    expected.setMessage(message);
    EXPECT_TRUE(answer == expected);
    EXPECT_FALSE(answer.isSuccess());
}

timespec at(long long sec, long nsec)
{
    timespec t;
    t.tv_sec = time_t(sec);
    t.tv_nsec = nsec;
    return t;
}

TEST(BasicPaymentProcessing, RemainingWaitIsComputedFromTheRecordedTime)
{
    struct Case {
        const char* what;
        int seconds;
        timespec last;
        timespec now;
        qint64 expected;
    };
    const std::vector<Case> cases = {
        {"no operation recorded", 5, at(0, 0), at(100, 0), 0},
        {"no operation, nanoseconds only", 5, at(0, 999), at(0, 0), 0},
        {"zero seconds", 0, at(100, 0), at(100, 0), 0},
        {"negative seconds", -3, at(100, 0), at(100, 0), 0},
        {"full wait right after the operation", 2, at(100, 500), at(100, 500), 2000000},
        {"part of the wait gone", 2, at(100, 0), at(101, 250000000), 750000},
        {"nanoseconds of now ahead", 2, at(100, 100000000), at(100, 900000000), 1200000},
        {"wait already over", 2, at(100, 0), at(103, 0), 0},
        {"ends exactly now", 2, at(100, 5), at(102, 5), 0},
        {"under a microsecond left", 2, at(100, 1999), at(102, 1000), 0},
        {"just a microsecond left", 2, at(100, 2000), at(102, 1000), 1},
        {"nanoseconds past, no second left", 2, at(100, 0), at(102, 1), 0},
        {"hours do not wrap", 7200, at(100, 0), at(100, 0), 7200000000LL},
        {"largest wait does not wrap", std::numeric_limits<int>::max(), at(2000000000, 0),
         at(2000000000, 0), qint64(std::numeric_limits<int>::max()) * 1000000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Basic::remainingMicroseconds(c.seconds, c.last, c.now), c.expected) << c.what;
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(BasicPaymentProcessing, WaitReturnsAtOnceWithoutARecordedOperationOrPositiveSeconds)
{
    Basic basic;
    const Clock::time_point start = Clock::now();
    basic.waitBeforeNextOperation(5);
    basic.setLastOperationTime();
    basic.waitBeforeNextOperation(0);
    basic.waitBeforeNextOperation(-1);
    // Generous: any of these sleeping would take seconds.
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST(BasicPaymentProcessing, WaitBlocksUntilTheSecondsAfterTheLastOperationHavePassed)
{
    Basic basic;
    const Clock::time_point start = Clock::now();
    basic.setLastOperationTime();
    basic.waitBeforeNextOperation(1);
    EXPECT_GE(secondsSince(start), 1.0);

    // The wait does not move the recorded time, so the same wait is now over.
    const Clock::time_point again = Clock::now();
    basic.waitBeforeNextOperation(1);
    EXPECT_LT(secondsSince(again), 0.9);
}

} // namespace
