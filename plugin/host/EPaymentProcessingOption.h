#pragma once

#include <QFlags>

// Option flags the host sets on a payment plug-in; their meaning is the host's.
namespace EPaymentProcessingOption {

enum Option : unsigned int {
    NoOption = 0x0,
    PrintSlipOnHost = 0x1,
    ManualCardEntry = 0x2,
    AskCardBeforePayment = 0x4,
    SeparateSlipPerOperation = 0x8
};

Q_DECLARE_FLAGS(Options, Option)

} // namespace EPaymentProcessingOption

Q_DECLARE_OPERATORS_FOR_FLAGS(EPaymentProcessingOption::Options)
