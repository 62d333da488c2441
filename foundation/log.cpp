#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "myfunc.h"

char __gLogPath[256] = "";

namespace {

const char kFallbackName[] = "file.log";

// Expands "%s" to the date and "%%" to "%". The pattern is configuration text, so
// it never reaches printf: any other conversion, or a name that does not fit,
// sends the line to the fallback file rather than to a wrong or truncated name.
void expandPath(const char* pattern, const char* date, char* out, size_t outSize)
{
    std::string name;
    for (const char* p = pattern; *p; ++p) {
        if (*p != '%') {
            name += *p;
            continue;
        }
        if (p[1] == 's') {
            name += date;
            ++p;
        } else if (p[1] == '%') {
            name += '%';
            ++p;
        } else {
            name.clear();
            break;
        }
    }
    if (name.empty() || name.size() >= outSize)
        name = kFallbackName;
    std::memcpy(out, name.c_str(), name.size() + 1);
}

FILE* openToday(char* timeText)
{
    char dateText[20];
    ps::getTimeLocal("%H:%M:%S : ", timeText, 20);
    ps::getTimeLocal("%Y%m%d", dateText, sizeof dateText);
    if (__gLogPath[0] == '\0')
        setpath(kFallbackName);
    char name[256];
    expandPath(__gLogPath, dateText, name, sizeof name);
    // "e": close-on-exec, like every descriptor of the daemon.
    return std::fopen(name, "ae");
}

}  // namespace

void setpath(const char* pattern)
{
    // A longer pattern is cut; a cut that leaves a broken conversion falls back later.
    if (!pattern)
        pattern = "";
    std::strncpy(__gLogPath, pattern, sizeof __gLogPath - 1);
    __gLogPath[sizeof __gLogPath - 1] = '\0';
}

void logsave(const char* format, ...)
{
    char timeText[20];
    FILE* f = openToday(timeText);
    if (!f)
        return;
    std::fputs(timeText, f);
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
}

void _logsave(const char* format, ...)
{
    char timeText[20];
    FILE* f = openToday(timeText);
    if (!f)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fclose(f);
}

void logexit(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        std::vsnprintf(&message[0], message.size() + 1, format, args);
    va_end(args);
    logsave("%s", message.c_str());
    logsave("Exit");
    std::exit(1);
}
