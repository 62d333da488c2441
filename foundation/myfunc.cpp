#include "myfunc.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <sys/types.h>
#include <unistd.h>

#include "log.h"

namespace ps {

char* itoa(int value, char* buffer, int base)
{
    if (base < 2 || base > 36) {
        buffer[0] = '\0';
        return buffer;
    }
    // Mirrored digits: a negative remainder indexes left of the middle "0", so the
    // value is never negated and INT_MIN needs no special case.
    static const char digits[] =
        "zyxwvutsrqponmlkjihgfedcba9876543210123456789abcdefghijklmnopqrstuvwxyz";
    char* p = buffer;
    int last;
    do {
        last = value;
        value /= base;
        *p++ = digits[35 + (last - value * base)];
    } while (value);
    if (last < 0)
        *p++ = '-';
    *p-- = '\0';
    for (char* q = buffer; q < p; ++q, --p) {
        const char c = *q;
        *q = *p;
        *p = c;
    }
    return buffer;
}

int atoi16(const char* text)
{
    // Unsigned so that long texts wrap instead of overflowing a signed int.
    unsigned value = 0;
    for (const char* p = text; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (*p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            return -1;
        value = value * 16 + digit;
    }
    return static_cast<int>(value);
}

struct tm* getTimeLocal(const char* format, char* buffer, int size)
{
    return getTimeLocalAt(std::time(nullptr), format, buffer, size);
}

struct tm* getTimeLocalAt(time_t moment, const char* format, char* buffer, int size)
{
    struct tm* local = std::localtime(&moment);
    if (format && buffer && size > 0) {
        // Callers print the buffer whatever happens: a moment the system cannot
        // convert leaves the empty text, never what the buffer held before.
        if (!local || std::strftime(buffer, static_cast<size_t>(size), format, local) == 0)
            buffer[0] = '\0';
    }
    return local;
}

time_t getTime()
{
    return std::time(nullptr);
}

int hexToStr(unsigned char* data, unsigned short length, char* out, unsigned short outSize)
{
    static const char hex[] = "0123456789abcdef";
    // int arithmetic: 2 * 65535 + 2 does not fit the 16-bit arguments.
    const int n = length;
    const int room = outSize;
    if (!out)
        return 2 * n + 1;
    for (int i = 0; i < n; ++i) {
        if (2 * i + 2 >= room)
            return 0;
        out[2 * i] = hex[data[i] >> 4];
        out[2 * i + 1] = hex[data[i] & 0x0f];
    }
    if (2 * n >= room)
        return 0;
    out[2 * n] = '\0';
    return 2 * n + 1;
}

std::string trim(std::string text)
{
    static const char blanks[] = "\t\r\n\v\f ";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void Watch(void*) {}

void kill(int pid)
{
    logsave("KILL %d", pid);
    // 0 and negative numbers would signal whole process groups, the server's own included.
    if (pid > 0)
        ::kill(pid, SIGTERM);
}

namespace {

char* copyPart(const char* start, size_t length)
{
    char* part = static_cast<char*>(std::malloc(length + 1));
    if (part) {
        std::memcpy(part, start, length);
        part[length] = '\0';
    }
    return part;
}

void freeParts(char** parts, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        std::free(parts[i]);
    std::free(parts);
}

}  // namespace

char** explode(char separator, const char* text, int limit, bool strict)
{
    if (!text)
        text = "";
    const size_t n = std::strlen(text);
    // A NUL separator would be "found" at the terminator and walk past the end.
    const bool splits = separator != '\0';

    size_t count = 1;
    if (splits) {
        size_t partStart = 0;
        for (size_t i = 0; i < n; ++i) {
            if (text[i] != separator)
                continue;
            if (i > partStart)
                ++count;
            partStart = i + 1;
        }
    }
    if (strict && limit > 0 && static_cast<size_t>(limit) > count)
        return nullptr;
    if (limit > 0 && static_cast<size_t>(limit) < count)
        count = static_cast<size_t>(limit);

    char** parts = static_cast<char**>(std::malloc((count + 1) * sizeof(char*)));
    if (!parts)
        return nullptr;
    size_t filled = 0;
    const char* pos = text;
    const char* sep;
    while (splits && (sep = std::strchr(pos, separator)) != nullptr) {
        if (sep > pos) {
            if (!(parts[filled] = copyPart(pos, static_cast<size_t>(sep - pos)))) {
                freeParts(parts, filled);
                return nullptr;
            }
            if (++filled == count) {
                parts[filled] = nullptr;
                return parts;
            }
        }
        pos = sep + 1;
    }
    if (*pos) {
        if (!(parts[filled] = copyPart(pos, std::strlen(pos)))) {
            freeParts(parts, filled);
            return nullptr;
        }
        ++filled;
    }
    parts[filled] = nullptr;
    return parts;
}

int spawn(const char* commandLine)
{
    const pid_t pid = fork();
    if (pid != 0)
        return static_cast<int>(pid);
    // The daemon ignores SIGXFSZ so that a write past a file-size limit fails
    // instead of ending it; a started program gets the default, as from a shell.
    // What the daemon opens is close-on-exec; the program gets only the
    // standard descriptors and whatever the daemon itself inherited.
    signal(SIGXFSZ, SIG_DFL);
    char** argv = explode(' ', commandLine, 0, false);
    if (argv && argv[0])
        execv(argv[0], argv);
    static const char failed[] = "an error occurred in execv\n";
    ssize_t ignored = write(STDERR_FILENO, failed, sizeof failed - 1);
    (void)ignored;
    // _exit: the child must not run the parent's exit handlers or flush its stdio copies.
    _exit(0);
}

std::string ansiToUtf(std::string text) { return text; }
std::string asciiToUtf(std::string text) { return text; }
std::string ansiToAscii(std::string text) { return text; }
std::string asciiToAnsi(std::string text) { return text; }
std::string utfToAnsi(std::string text) { return text; }
std::string utfToAscii(std::string text) { return text; }

size_t codepage(const char* from, const char* in, unsigned inLength, const char* to, char* out,
                unsigned outSize)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        logsave("Cannot open converter from %s to %s", from, to);
        return 0;
    }
    // iconv never writes through the input pointer; its prototype is just old.
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inLength;
    char* outPtr = out;
    size_t outLeft = outSize;
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    if (rc == static_cast<size_t>(-1)) {
        const int err = errno;
        logsave("Error (%d): %s", err, std::strerror(err));
        if (err == E2BIG)
            logsave("errno == E2BIG");
        else if (err == EILSEQ)
            logsave("errno == EILSEQ");
        else if (err == EINVAL)
            logsave("errno == EINVAL");
        iconv_close(cd);
        return 0;
    }
    iconv_close(cd);
    return rc;
}

std::string CP(const char* from, const char* data, unsigned length, const char* to)
{
    static const unsigned room = 1024;
    if (length == 0)
        return std::string();
    char buffer[room];
    std::memset(buffer, 0, sizeof buffer);
    codepage(from, data, length, to, buffer, room);
    // Compared before doubling, so a huge length cannot wrap.
    const size_t size = length >= room / 2 ? room : 2 * static_cast<size_t>(length);
    return std::string(buffer, size);
}

int strpos(const char* text, const char* part)
{
    if (!text || !part)
        return -1;
    const char* found = std::strstr(text, part);
    return found ? static_cast<int>(found - text) : -1;
}

std::string execute(const char* command)
{
    logsave("%s", command);
    // "e": our end of the pipe stays out of other children.
    FILE* pipe = popen(command, "re");
    if (!pipe)
        return "ERROR EXECUTE";
    // Read the descriptor directly: stdio's fgets throws away a half-read line when
    // a signal interrupts it. Lines are still taken as fgets would hand them over
    // (at most 1023 bytes each, every one cut at its first NUL).
    static const int maxInterrupts = 10;
    const int fd = fileno(pipe);
    std::string result;
    char buffer[1024];
    size_t lineLength = 0;
    bool lineCut = false;
    int interrupts = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR && ++interrupts <= maxInterrupts)
                continue;
            break;
        }
        if (n == 0)
            break;
        interrupts = 0;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\0')
                lineCut = true;
            if (!lineCut)
                result += c;
            if (c == '\n' || ++lineLength == sizeof buffer - 1) {
                lineLength = 0;
                lineCut = false;
            }
        }
    }
    pclose(pipe);
    return result;
}

}  // namespace ps
