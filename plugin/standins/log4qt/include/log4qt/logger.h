#pragma once

// Stand-in for the Log4Qt logger, which Debian does not package: the few calls the
// plug-in makes, writing "<LEVEL> <logger name> <text>" to the file named by the
// environment variable DORVISH_PLUGIN_LOG so that tests can read what was logged.

#include <QString>
#include <QVariant>

namespace Log4Qt {

class LogManager;

class Logger
{
public:
    QString name() const;

    // The format variants fill "%1".. with the arguments' texts in one pass, so an
    // argument that itself holds "%2" stays as it is.
    void debug(const QString& message) const;
    void debug(const QString& format, const QVariant& arg1) const;
    void debug(const QString& format, const QVariant& arg1, const QVariant& arg2) const;
    void debug(const QString& format, const QVariant& arg1, const QVariant& arg2,
               const QVariant& arg3) const;
    void info(const QString& message) const;
    void info(const QString& format, const QVariant& arg1) const;
    void info(const QString& format, const QVariant& arg1, const QVariant& arg2) const;
    void info(const QString& format, const QVariant& arg1, const QVariant& arg2,
              const QVariant& arg3) const;
    void error(const QString& message) const;
    void error(const QString& format, const QVariant& arg1) const;
    void error(const QString& format, const QVariant& arg1, const QVariant& arg2) const;
    void error(const QString& format, const QVariant& arg1, const QVariant& arg2,
               const QVariant& arg3) const;

private:
    friend class LogManager;
    explicit Logger(const QString& name);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void write(const char* level, const QString& text) const;

    QString m_name;
};

} // namespace Log4Qt
