// Stand-in for the Log4Qt logger (see logger.h).

#include "log4qt/logger.h"

#include <QFile>
#include <QStringList>
#include <QVector>

#include <algorithm>

#include <cstdlib>

namespace Log4Qt {

namespace {

// The placeholder "%1".."%99" at position i, or 0.
int placeholderAt(const QString& format, int i, int* length)
{
    if (format.at(i) != QLatin1Char('%') || i + 1 >= format.size() || !format.at(i + 1).isDigit())
        return 0;
    int number = format.at(i + 1).digitValue();
    *length = 2;
    if (i + 2 < format.size() && format.at(i + 2).isDigit()) {
        number = number * 10 + format.at(i + 2).digitValue();
        *length = 3;
    }
    return number;
}

// What QString::arg with several texts gives: the lowest-numbered placeholder takes the
// first argument, the next the second, in one pass. Written out because the variadic arg()
// of newer Qt headers binds the plug-in to a Qt newer than the 5.12 its metadata announces.
QString fill(const QString& format, const QStringList& args)
{
    QVector<int> numbers;
    for (int i = 0; i < format.size(); ++i) {
        int length = 0;
        const int number = placeholderAt(format, i, &length);
        if (number > 0 && !numbers.contains(number))
            numbers.append(number);
    }
    std::sort(numbers.begin(), numbers.end());

    QString result;
    for (int i = 0; i < format.size();) {
        int length = 0;
        const int number = placeholderAt(format, i, &length);
        const int index = number > 0 ? numbers.indexOf(number) : -1;
        if (index >= 0 && index < args.size()) {
            result += args.at(index);
            i += length;
        } else {
            result += format.at(i);
            ++i;
        }
    }
    return result;
}

QString fill(const QString& format, const QVariant& a1)
{
    return fill(format, QStringList{a1.toString()});
}

QString fill(const QString& format, const QVariant& a1, const QVariant& a2)
{
    return fill(format, QStringList{a1.toString(), a2.toString()});
}

QString fill(const QString& format, const QVariant& a1, const QVariant& a2, const QVariant& a3)
{
    return fill(format, QStringList{a1.toString(), a2.toString(), a3.toString()});
}

} // namespace

Logger::Logger(const QString& name)
    : m_name(name)
{
}

QString Logger::name() const
{
    return m_name;
}

void Logger::write(const char* level, const QString& text) const
{
    const char* path = std::getenv("DORVISH_PLUGIN_LOG");
    if (!path || !*path)
        return;
    // Opened and closed for every line, so a test may empty the file between cases.
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(QByteArray(level) + ' ' + m_name.toUtf8() + ' ' + text.toUtf8() + '\n');
}

void Logger::debug(const QString& message) const { write("DEBUG", message); }
void Logger::debug(const QString& format, const QVariant& a1) const
{
    write("DEBUG", fill(format, a1));
}
void Logger::debug(const QString& format, const QVariant& a1, const QVariant& a2) const
{
    write("DEBUG", fill(format, a1, a2));
}
void Logger::debug(const QString& format, const QVariant& a1, const QVariant& a2,
                   const QVariant& a3) const
{
    write("DEBUG", fill(format, a1, a2, a3));
}

void Logger::info(const QString& message) const { write("INFO", message); }
void Logger::info(const QString& format, const QVariant& a1) const
{
    write("INFO", fill(format, a1));
}
void Logger::info(const QString& format, const QVariant& a1, const QVariant& a2) const
{
    write("INFO", fill(format, a1, a2));
}
void Logger::info(const QString& format, const QVariant& a1, const QVariant& a2,
                  const QVariant& a3) const
{
    write("INFO", fill(format, a1, a2, a3));
}

void Logger::error(const QString& message) const { write("ERROR", message); }
void Logger::error(const QString& format, const QVariant& a1) const
{
    write("ERROR", fill(format, a1));
}
void Logger::error(const QString& format, const QVariant& a1, const QVariant& a2) const
{
    write("ERROR", fill(format, a1, a2));
}
void Logger::error(const QString& format, const QVariant& a1, const QVariant& a2,
                   const QVariant& a3) const
{
    write("ERROR", fill(format, a1, a2, a3));
}

} // namespace Log4Qt
