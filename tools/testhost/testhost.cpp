// Plays the POS host application: loads the payment plug-in through Qt's plug-in loader,
// reaches its payment interface by the interface identifier, runs one operation given on
// the command line and prints the result record with its print images.
//
//   testhost [--plugin PATH] payment AMOUNT | refund AMOUNT | cancel AMOUNT RRN | totals
//
// Exit status: 0 for a successful answer, 1 for a failed one, 2 when the command line is
// wrong or the plug-in cannot be loaded. Built as layouthost (with layout_serializer.cpp in
// place of the qjson stand-in), also 3 when the plug-in broke the host's serializer.

#include "AbstractPaymentProcessing.h"

#include <QCoreApplication>
#include <QPluginLoader>
#include <QStringList>

#include <cstdio>

namespace {

void print(const char* key, const QString& value)
{
    std::printf("%s: %s\n", key, value.toUtf8().constData());
}

void printAnswer(const PaymentProcessingAnswer& answer)
{
    const tr::Tr message = answer.getMessage();
    print("status", QString::number(int(answer.getStatus())));
    print("success", answer.isSuccess() ? QStringLiteral("yes") : QStringLiteral("no"));
    print("code", QString::number(answer.getCode()));
    print("message.id", message.id());
    print("message.ru", message.ru());
    print("message.ui", message.ui());
    print("terminalNumber", QString::number(answer.getTerminalNumber()));
    print("cardType", answer.getCardType());
    print("cardNumber", answer.getCardNumber());
    print("authorizationCode", answer.getAuthorizationCode());
    print("rrn", answer.getRRN());
    print("sum", QString::number(answer.getSum(), 'f', 2));
    print("posName", answer.getPosName());
    print("balance", QString::number(answer.getBalance(), 'f', 2));
    print("discCardNumber", answer.getDiscCardNumber());
    print("loyaltyCards", answer.getLoyaltyCards().join(QLatin1Char(',')));
    print("hashedCardNumber", answer.getHashedCardNumber());
    print("cardMark", QString::number(answer.getCardMark().bits));
    print("qrCode", answer.getQrCode());
    print("paymentMethod", QString::number(int(answer.getPaymentMethod())));
    const QStringList images = answer.getPrintImages();
    print("printImages", QString::number(images.size()));
    for (int i = 0; i < images.size(); ++i)
        std::printf("printImage[%d]: %s\n", i + 1, images.at(i).toUtf8().constData());
}

int usage()
{
    std::fprintf(stderr,
                 "usage: testhost [--plugin PATH] payment AMOUNT | refund AMOUNT | "
                 "cancel AMOUNT RRN | totals\n");
    return 2;
}

bool parseAmount(const QString& text, int* amount)
{
    bool ok = false;
    *amount = text.toInt(&ok, 10);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    QString pluginPath = QStringLiteral(DEFAULT_PLUGIN_PATH);
    if (args.size() >= 2 && args.at(0) == QLatin1String("--plugin")) {
        pluginPath = args.at(1);
        args = args.mid(2);
    }
    if (args.isEmpty())
        return usage();

    const QString operation = args.takeFirst();
    PaymentProcessingRequest request;
    if (operation == QLatin1String("payment") || operation == QLatin1String("refund")) {
        if (args.size() != 1 || !parseAmount(args.at(0), &request.amount))
            return usage();
        request.type = operation == QLatin1String("payment") ? PaymentProcessingRequest::Payment
                                                             : PaymentProcessingRequest::Refund;
    } else if (operation == QLatin1String("cancel")) {
        if (args.size() != 2 || !parseAmount(args.at(0), &request.amount))
            return usage();
        request.rrn = args.at(1);
    } else if (operation == QLatin1String("totals")) {
        if (!args.isEmpty())
            return usage();
    } else {
        return usage();
    }

    QPluginLoader loader(pluginPath);
    QObject* instance = loader.instance();
    if (!instance) {
        std::fprintf(stderr, "testhost: cannot load %s: %s\n", pluginPath.toUtf8().constData(),
                     loader.errorString().toUtf8().constData());
        return 2;
    }
    AbstractPaymentProcessing* processing = qobject_cast<AbstractPaymentProcessing*>(instance);
    if (!processing) {
        std::fprintf(stderr, "testhost: %s does not implement %s\n",
                     pluginPath.toUtf8().constData(), AbstractPaymentProcessing_iid);
        return 2;
    }

    PaymentProcessingAnswer answer;
    if (operation == QLatin1String("cancel"))
        answer = processing->cancel(request);
    else if (operation == QLatin1String("totals"))
        answer = processing->checkTotals(0);
    else
        answer = processing->payment(request);
    printAnswer(answer);

    // The host owns the plug-in object.
    delete instance;
    return answer.isSuccess() ? 0 : 1;
}
