#pragma once

#include <QString>

// The host's request for one card operation.
struct PaymentProcessingRequest
{
    // A fixed underlying type so that any value the host passes is a valid Type.
    enum Type : int {
        Payment = 1,
        Refund = 2,
        RefundWithoutReceipt = 3
    };

    Type type = Payment;
    int amount = 0;     // minor units
    QString rrn;        // reference number of the operation a cancellation reverses
};
