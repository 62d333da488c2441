#ifndef DORVISH_STANDINS_PLACEHOLDERS_H
#define DORVISH_STANDINS_PLACEHOLDERS_H

// The "%1".."%99" filling that the stand-ins for the host's translatable message and for
// the Log4Qt logger share. Written out rather than left to the variadic QString::arg, which
// needs Qt 5.14 while the plug-in promises every host from Qt 5.12 on.

#include <QMap>
#include <QString>
#include <QStringList>

namespace standins {
namespace {

// The placeholder at position i ("%1".."%99"), or 0; length receives its length.
inline int placeholderAt(const QString& text, int i, int* length)
{
    if (text.at(i) != QLatin1Char('%') || i + 1 >= text.size() || !text.at(i + 1).isDigit())
        return 0;
    int number = text.at(i + 1).digitValue();
    *length = 2;
    if (i + 2 < text.size() && text.at(i + 2).isDigit()) {
        number = number * 10 + text.at(i + 2).digitValue();
        *length = 3;
    }
    return number;
}

// What QString::arg with several texts gives: in one pass, the lowest-numbered placeholder
// present takes the first argument, the next the second, and so on. Inserted texts are never
// scanned again, so an argument holding "%1" stays as it is.
inline QString fillPlaceholders(const QString& text, const QStringList& args)
{
    if (args.isEmpty())
        return text;

    QMap<int, int> argIndex;  // placeholder number -> argument index
    for (int i = 0; i < text.size(); ++i) {
        int length = 0;
        const int number = placeholderAt(text, i, &length);
        if (number > 0)
            argIndex.insert(number, 0);
    }
    int next = 0;
    for (auto it = argIndex.begin(); it != argIndex.end(); ++it)
        it.value() = next++;

    QString result;
    for (int i = 0; i < text.size();) {
        int length = 0;
        const int number = placeholderAt(text, i, &length);
        if (number > 0 && argIndex.value(number) < args.size()) {
            result += args.at(argIndex.value(number));
            i += length;
        } else {
            result += text.at(i);
            ++i;
        }
    }
    return result;
}

} // namespace
} // namespace standins

#endif
