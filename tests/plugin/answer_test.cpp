#include "PaymentProcessingAnswer.h"
#include "qt_printers.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <utility>
#include <vector>

namespace {

static_assert(sizeof(PaymentProcessingAnswer::Status) == 4, "the host reads the status as 4 bytes");
static_assert(sizeof(CardMark) == 4, "the host copies the card mark as 4 bytes");
static_assert(sizeof(EPaymentMethod) == 4, "the host copies the payment method as 4 bytes");

// A record with every field away from its default.
PaymentProcessingAnswer filled()
{
    PaymentProcessingAnswer a;
    a.setCode(912);
    a.setMessage(tr::Tr("undefined", "Отказ %1").arg("05"));
    a.setStatus(PaymentProcessingAnswer::Success);
    a.setPrintImages({"slip 1", "slip 2"});
    a.setTerminalNumber(7);
    a.setCardType("VISA");
    a.setCardNumber("4111********1111");
    a.setAuthorizationCode("123456");
    a.setRRN("000123456789");
    a.setSum(15.5);
    a.setPosName("Kassa 1");
    a.setBalance(-2.25);
    a.setDiscCardNumber("D42");
    a.setLoyaltyCards({"L1", "L2"});
    a.setHashedCardNumber("abcdef");
    CardMark mark;
    mark.bits = 0x80000001u;
    a.setCardMark(mark);
    a.setQrCode("qr://x");
    a.setPaymentMethod(PaymentMethodCard);
    return a;
}

void expectFilled(const PaymentProcessingAnswer& a)
{
    EXPECT_EQ(a.getCode(), 912);
    EXPECT_EQ(a.getMessage().id(), "undefined");
    EXPECT_EQ(a.getMessage().ru(), "Отказ 05");
    EXPECT_EQ(a.getStatus(), PaymentProcessingAnswer::Success);
    EXPECT_EQ(a.getPrintImages(), QStringList({"slip 1", "slip 2"}));
    EXPECT_EQ(a.getTerminalNumber(), 7);
    EXPECT_EQ(a.getCardType(), "VISA");
    EXPECT_EQ(a.getCardNumber(), "4111********1111");
    EXPECT_EQ(a.getAuthorizationCode(), "123456");
    EXPECT_EQ(a.getRRN(), "000123456789");
    EXPECT_EQ(a.getSum(), 15.5);
    EXPECT_EQ(a.getPosName(), "Kassa 1");
    EXPECT_EQ(a.getBalance(), -2.25);
    EXPECT_EQ(a.getDiscCardNumber(), "D42");
    EXPECT_EQ(a.getLoyaltyCards(), QStringList({"L1", "L2"}));
    EXPECT_EQ(a.getHashedCardNumber(), "abcdef");
    EXPECT_EQ(a.getCardMark().bits, 0x80000001u);
    EXPECT_EQ(a.getQrCode(), "qr://x");
    EXPECT_EQ(a.getPaymentMethod(), PaymentMethodCard);
}

TEST(PaymentProcessingAnswer, NewRecordHoldsTheDefaultsAndIsAFailure)
{
    const PaymentProcessingAnswer a;
    EXPECT_EQ(a.getStatus(), PaymentProcessingAnswer::Failure);
    EXPECT_EQ(int(a.getStatus()), 1);
    EXPECT_FALSE(a.isSuccess());
    EXPECT_EQ(a.getCode(), 0);
    EXPECT_TRUE(a.getMessage().isEmpty());
    EXPECT_EQ(a.getMessage(), tr::Tr());
    EXPECT_TRUE(a.getPrintImages().isEmpty());
    EXPECT_EQ(a.getTerminalNumber(), 0);
    EXPECT_TRUE(a.getCardType().isEmpty());
    EXPECT_TRUE(a.getCardNumber().isEmpty());
    EXPECT_TRUE(a.getAuthorizationCode().isEmpty());
    EXPECT_TRUE(a.getRRN().isEmpty());
    EXPECT_EQ(a.getSum(), 0.0);
    EXPECT_TRUE(a.getPosName().isEmpty());
    EXPECT_EQ(a.getBalance(), 0.0);
    EXPECT_TRUE(a.getDiscCardNumber().isEmpty());
    EXPECT_TRUE(a.getLoyaltyCards().isEmpty());
    EXPECT_TRUE(a.getHashedCardNumber().isEmpty());
    EXPECT_EQ(a.getCardMark().bits, 0u);
    EXPECT_TRUE(a.getQrCode().isEmpty());
    EXPECT_EQ(int(a.getPaymentMethod()), 0);
}

TEST(PaymentProcessingAnswer, EverySetterStoresWhatItsGetterReturns)
{
    expectFilled(filled());
}

TEST(PaymentProcessingAnswer, SuccessIsStatusZeroOnly)
{
    PaymentProcessingAnswer a;
    a.setSuccess(true);
    EXPECT_EQ(int(a.getStatus()), 0);
    EXPECT_TRUE(a.isSuccess());
    a.setSuccess(false);
    EXPECT_EQ(int(a.getStatus()), 1);
    EXPECT_FALSE(a.isSuccess());

    // A value the host hands back is stored unchanged and counts as failure.
    for (int value : {2, -1, std::numeric_limits<int>::max()}) {
        a.setStatus(static_cast<PaymentProcessingAnswer::Status>(value));
        EXPECT_EQ(int(a.getStatus()), value);
        EXPECT_FALSE(a.isSuccess()) << value;
    }
}

TEST(PaymentProcessingAnswer, EqualityTakesEveryFieldIntoAccount)
{
    EXPECT_TRUE(PaymentProcessingAnswer() == PaymentProcessingAnswer());
    EXPECT_FALSE(PaymentProcessingAnswer() != PaymentProcessingAnswer());
    EXPECT_TRUE(filled() == filled());

    using Change = std::function<void(PaymentProcessingAnswer&)>;
    const std::vector<std::pair<const char*, Change>> changes = {
        {"code", [](PaymentProcessingAnswer& a) { a.setCode(913); }},
        {"message id", [](PaymentProcessingAnswer& a) { a.setMessage(tr::Tr("other", "Отказ 05")); }},
        {"message argument",
         [](PaymentProcessingAnswer& a) { a.setMessage(tr::Tr("undefined", "Отказ %1").arg("06")); }},
        {"status", [](PaymentProcessingAnswer& a) { a.setSuccess(false); }},
        {"print image order", [](PaymentProcessingAnswer& a) { a.setPrintImages({"slip 2", "slip 1"}); }},
        {"print image count", [](PaymentProcessingAnswer& a) { a.setPrintImages({"slip 1"}); }},
        {"terminal number", [](PaymentProcessingAnswer& a) { a.setTerminalNumber(8); }},
        {"card type", [](PaymentProcessingAnswer& a) { a.setCardType(" VISA"); }},
        {"card number", [](PaymentProcessingAnswer& a) { a.setCardNumber("4111********1112"); }},
        {"authorization code", [](PaymentProcessingAnswer& a) { a.setAuthorizationCode("123457"); }},
        {"rrn", [](PaymentProcessingAnswer& a) { a.setRRN("000123456780"); }},
        {"sum", [](PaymentProcessingAnswer& a) { a.setSum(15.51); }},
        {"pos name", [](PaymentProcessingAnswer& a) { a.setPosName("Kassa 2"); }},
        {"balance", [](PaymentProcessingAnswer& a) { a.setBalance(2.25); }},
        {"discount card", [](PaymentProcessingAnswer& a) { a.setDiscCardNumber("D43"); }},
        {"loyalty card order", [](PaymentProcessingAnswer& a) { a.setLoyaltyCards({"L2", "L1"}); }},
        {"hashed card number", [](PaymentProcessingAnswer& a) { a.setHashedCardNumber("abcdeF"); }},
        {"card mark high bit",
         [](PaymentProcessingAnswer& a) { CardMark m; m.bits = 1; a.setCardMark(m); }},
        {"qr code", [](PaymentProcessingAnswer& a) { a.setQrCode("qr://y"); }},
        {"payment method", [](PaymentProcessingAnswer& a) { a.setPaymentMethod(PaymentMethodQrCode); }},
    };
    for (const auto& change : changes) {
        PaymentProcessingAnswer other = filled();
        change.second(other);
        EXPECT_FALSE(filled() == other) << change.first;
        EXPECT_TRUE(filled() != other) << change.first;
    }
}

TEST(PaymentProcessingAnswer, NanSumOrBalanceIsUnequalEvenToItsOwnCopy)
{
    for (bool inSum : {true, false}) {
        PaymentProcessingAnswer a;
        if (inSum)
            a.setSum(std::numeric_limits<double>::quiet_NaN());
        else
            a.setBalance(std::numeric_limits<double>::quiet_NaN());
        const PaymentProcessingAnswer copy = a;
        EXPECT_FALSE(a == copy) << (inSum ? "sum" : "balance");
        EXPECT_FALSE(a == a) << (inSum ? "sum" : "balance");
    }
}

TEST(PaymentProcessingAnswer, CopiesAreIndependent)
{
    PaymentProcessingAnswer original = filled();
    PaymentProcessingAnswer copy(original);
    EXPECT_TRUE(copy == original);

    copy.setPrintImages({"changed"});
    copy.setCardType("MIR");
    copy.setMessage(tr::Tr("x", "y"));
    expectFilled(original);

    PaymentProcessingAnswer assigned;
    assigned = original;
    expectFilled(assigned);
    original.setLoyaltyCards({});
    EXPECT_EQ(assigned.getLoyaltyCards(), QStringList({"L1", "L2"}));
}

TEST(PaymentProcessingAnswer, MoveHandsOverEveryField)
{
    PaymentProcessingAnswer target;
    PaymentProcessingAnswer source = filled();
    target = std::move(source);
    expectFilled(target);

    PaymentProcessingAnswer constructed(filled());
    PaymentProcessingAnswer moved(std::move(constructed));
    expectFilled(moved);
}

} // namespace
