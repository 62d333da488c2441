// Stand-in for the Log4Qt logger (see logger.h).

#include "log4qt/logger.h"

#include "../placeholders.h"

#include <QFile>
#include <QStringList>

#include <cstdlib>

namespace Log4Qt {

namespace {

QString fill(const QString& format, const QVariant& a1)
{
    return standins::fillPlaceholders(format, QStringList{a1.toString()});
}

QString fill(const QString& format, const QVariant& a1, const QVariant& a2)
{
    return standins::fillPlaceholders(format, QStringList{a1.toString(), a2.toString()});
}

QString fill(const QString& format, const QVariant& a1, const QVariant& a2, const QVariant& a3)
{
    return standins::fillPlaceholders(format, QStringList{a1.toString(), a2.toString(), a3.toString()});
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
