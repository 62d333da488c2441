// Stand-in for the POS host's translatable message. The real host supplies this code in
// its own process; the test host and the unit tests link this copy instead. With no
// translation catalogue here, the operator's text is the Russian one.

#include "Tr.h"

#include <QMap>

namespace tr {

namespace {

// Fills the placeholders "%1".."%99" in one pass: the lowest-numbered one present takes
// the first argument, the next the second, and so on. Inserted texts are never scanned
// again, so an argument holding "%1" stays as it is.
QString fill(const QString& text, const QStringList& args)
{
    if (args.isEmpty())
        return text;

    auto placeholderAt = [&text](int i, int* length) {
        if (text.at(i) != QLatin1Char('%') || i + 1 >= text.size() || !text.at(i + 1).isDigit())
            return 0;
        int number = text.at(i + 1).digitValue();
        *length = 2;
        if (i + 2 < text.size() && text.at(i + 2).isDigit()) {
            number = number * 10 + text.at(i + 2).digitValue();
            *length = 3;
        }
        return number;
    };

    QMap<int, int> argIndex;  // placeholder number -> argument index
    for (int i = 0; i < text.size(); ++i) {
        int length = 0;
        const int number = placeholderAt(i, &length);
        if (number > 0)
            argIndex.insert(number, 0);
    }
    int next = 0;
    for (auto it = argIndex.begin(); it != argIndex.end(); ++it)
        it.value() = next++;

    QString result;
    for (int i = 0; i < text.size();) {
        int length = 0;
        const int number = placeholderAt(i, &length);
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

Tr::Tr() = default;

Tr::Tr(const QString& id, const QString& ruText)
    : m_id(id), m_ruText(ruText)
{
}

Tr::~Tr() = default;

Tr& Tr::arg(const QString& value)
{
    m_args.append(value);
    return *this;
}

bool Tr::isEmpty() const
{
    return ru().isEmpty();
}

QString Tr::id() const
{
    return m_id;
}

QString Tr::ru() const
{
    return fill(m_ruText, m_args);
}

QString Tr::ui() const
{
    return ru();
}

bool Tr::operator==(const Tr& other) const
{
    return m_id == other.m_id && m_ruText == other.m_ruText && m_args == other.m_args;
}

bool Tr::operator!=(const Tr& other) const
{
    return !(*this == other);
}

} // namespace tr
