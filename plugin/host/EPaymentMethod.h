#pragma once

// How the customer paid, as the host records it; the plug-in never sets it.
enum EPaymentMethod : int {
    PaymentMethodUndefined = 0,
    PaymentMethodCard = 1,
    PaymentMethodQrCode = 2
};
