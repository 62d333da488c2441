#pragma once

// Stand-in for the Log4Qt log manager, which Debian does not package: hands out one
// logger per name and owns it for the life of the process.

#include <QString>

namespace Log4Qt {

class Logger;

class LogManager
{
public:
    // The second argument is accepted for the plug-in's call and not used.
    static Logger* logger(const QString& name, const QString& encoding = QString());

private:
    LogManager() = delete;
};

} // namespace Log4Qt
