// Stand-in for the Log4Qt log manager (see logmanager.h).

#include "log4qt/logmanager.h"
#include "log4qt/logger.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

namespace Log4Qt {

Logger* LogManager::logger(const QString& name, const QString&)
{
    // Loggers live until the process ends, as callers keep the pointers without owning them.
    static QMutex mutex;
    static QHash<QString, Logger*>* loggers = new QHash<QString, Logger*>;
    QMutexLocker lock(&mutex);
    Logger*& logger = (*loggers)[name];
    if (!logger)
        logger = new Logger(name);
    return logger;
}

} // namespace Log4Qt
