#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "log.h"
#include "myfunc.h"
#include "work.h"

// First byte of the last command outside paste mode; "p" or "P" means the
// reads of every service connection are pasted text.
unsigned char lastServiceCommand = 0;

namespace {

const char BUILD_STAMP[] = "Tue Nov 22 17:56:25 2016";
const char VERSION[] = "0.481";
const char PASTE_PROMPT[] = "PASTE TEXT OF CONFIG FILE, TYPE +++ END OF FILE\n";
const char SAVED[] = "CONFIG WAS SAVED\n";
const char NOT_SAVED[] = "CONFIG WAS NOT SAVED\n";
const char BAD_PARAMS[] = "BAD PARAMS\n";
const char UNKNOWN[] = "UNKNOWN COMMAND\n";

const size_t COMMAND_SIZE = 4096;
const size_t PAGE_SIZE = 4096;

std::string configName()
{
    config* cfg = config::getInstance();
    return cfg ? cfg->getPath() : std::string("config.cfg");
}

std::string tempName() { return configName() + ".tmp"; }

// The first 4096 bytes of the file, NUL-padded to exactly 4096.
std::string showConfig()
{
    std::string page(PAGE_SIZE, '\0');
    FILE* f = fopen(configName().c_str(), "rbe"); // "e": not inherited by started programs
    if (!f)
        return page;
    size_t got = 0;
    while (got < PAGE_SIZE) {
        size_t n = fread(&page[got], 1, PAGE_SIZE - got, f);
        if (n == 0)
            break;
        got += n;
    }
    fclose(f);
    return page;
}

std::string versionPage()
{
    char page[PAGE_SIZE];
    memset(page, 0, sizeof page);
    snprintf(page, sizeof page, "build: %s\nversion: %s\n", BUILD_STAMP, VERSION);
    return std::string(page, sizeof page);
}

std::string listLogs()
{
    config* cfg = config::getInstance();
    std::string pattern = cfg ? cfg->getParam("dorvish", "log") : std::string();
    size_t at = pattern.find("%s");
    if (at != std::string::npos)
        pattern.replace(at, 2, "*");
    return ps::execute(("ls -lha " + pattern).c_str());
}

// Set by any failure of the paste in progress: a temporary file that could not
// be emptied, or a read that did not reach it whole. Like paste mode it belongs
// to the whole server; "+++" then saves nothing.
bool pasteFailed = false;

// Mode of a configuration file the console creates: its "exec" lines run at the
// next start, so no one but the owner may change it, and others may not read it.
const mode_t CONFIG_MODE = 0640;

// The temporary file, opened never through a link (a link planted there would
// turn the server's writes onto the file it names) and never blocking on a FIFO.
int openTemp(int flags)
{
    const int fd = open(tempName().c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, CONFIG_MODE);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const char* bytes, size_t n)
{
    while (n > 0) {
        const ssize_t done = ::write(fd, bytes, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

// Starts the paste on an empty temporary file of its own; false when it could
// not. An old one is removed and a new one created, exclusively: a descriptor
// that someone opened on the old file (an earlier server left it 0666) must not
// reach the next config.cfg. The new file keeps the old one's permissions for
// owner and group, less group write, and stays writable by the daemon. A link
// or anything but a regular file there is left alone and fails the paste.
bool startPaste()
{
    const std::string name = tempName();
    mode_t mode = CONFIG_MODE;
    struct stat old;
    if (lstat(name.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode) || unlink(name.c_str()) != 0)
            return false;
        mode = (old.st_mode & 0750) | 0600;
    } else if (errno != ENOENT) {
        return false;
    }
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0 && ::close(fd) == 0;
}

// Appends the pasted bytes; false unless all of them reached the file.
bool appendPaste(const char* bytes, size_t n)
{
    const int fd = openTemp(O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, bytes, n);
    return ::close(fd) == 0 && written;
}

// Whether the daemon may replace "config.cfg": it must be a regular file that
// the daemon could open for writing (a rename would replace one it may not
// write), or none at all. old gets the file's status when there is one.
bool replaceable(const std::string& target, struct stat& old, bool& exists)
{
    exists = lstat(target.c_str(), &old) == 0;
    if (!exists)
        return errno == ENOENT;
    // Never opened unless regular: opening a device or a FIFO can act on it.
    if (!S_ISREG(old.st_mode))
        return false;
    // No O_TRUNC: the old text stays until the rename.
    const int fd = open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened;
    const bool same = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_dev == old.st_dev &&
                      opened.st_ino == old.st_ino;
    ::close(fd);
    if (same)
        old = opened;
    return same;
}

// Copies the temporary file into a new sibling of "config.cfg" and renames it
// over the old one, so that the configuration is always either the old text or
// the whole new one. A "config.cfg" that is not a regular file (a link, a
// directory), or that the daemon may not write, is not replaced: NOT SAVED, and
// it stays as it is.
const char* savePaste()
{
    const int from = openTemp(O_RDONLY);
    if (from < 0)
        return NOT_SAVED;
    const std::string target = configName();
    struct stat old;
    bool exists = false;
    if (!replaceable(target, old, exists)) {
        ::close(from);
        return NOT_SAVED;
    }
    std::string sibling = target + ".XXXXXX";
    const int to = mkostemp(&sibling[0], O_CLOEXEC);
    if (to < 0) {
        ::close(from);
        return NOT_SAVED;
    }
    bool ok = true;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(from, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        if (!writeAll(to, chunk, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(from);
    mode_t mode;
    if (exists) {
        // A replaced file keeps its owner and group and what they could do, less
        // write for the group and everything for others. A copy that cannot be
        // given them (the daemon is not root, the group not one of its own) is
        // not installed: the file would change hands.
        if (old.st_uid != geteuid() || old.st_gid != getegid())
            ok = ok && fchown(to, old.st_uid, old.st_gid) == 0;
        mode = old.st_mode & 0750;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = CONFIG_MODE & ~mask;
    }
    // A crash right after the rename must not leave an empty configuration.
    ok = ok && fchmod(to, mode) == 0 && fsync(to) == 0;
    ok = ::close(to) == 0 && ok;
    ok = ok && rename(sibling.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(sibling.c_str());
        return NOT_SAVED;
    }
    return SAVED;
}

// A range bound as the unsigned 32-bit number the comparisons use: "-1" is the
// largest, and a text beyond 32 bits saturates instead of wrapping, the same
// with a 32-bit and a 64-bit long.
uint32_t rangeBound(const char* text)
{
    long long v = strtoll(text, nullptr, 10);
    if (v > static_cast<long long>(UINT32_MAX))
        v = UINT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    return static_cast<uint32_t>(v);
}

// Reads exactly length bytes at offset; false on error or a short file.
bool readRange(int fd, uint32_t offset, size_t length, unsigned char* out)
{
    size_t got = 0;
    while (got < length) {
        ssize_t n = pread(fd, out + got, length - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void freeParts(char** parts)
{
    for (char** p = parts; *p; ++p)
        free(*p);
    free(parts);
}

}  // namespace

void work::procService(ssock* connection)
{
    char command[COMMAND_SIZE];
    memset(command, 0, sizeof command);
    const unsigned short n =
        connection->getReBuff(reinterpret_cast<unsigned char*>(command), static_cast<unsigned short>(sizeof command - 1));

    // A reply that does not fit into the write buffer's free part is not sent
    // (checked here because setWrBuff takes only 16 bits of length); what is
    // already waiting goes out either way.
    auto send = [this, connection](const char* data, size_t length) {
        if (length != 0 && length <= static_cast<size_t>(ssock::BUFF_SIZE - connection->getWrLen()))
            connection->setWrBuff(reinterpret_cast<const unsigned char*>(data), static_cast<unsigned short>(length));
        write(connection);
    };
    auto sendText = [&send](const char* text) { send(text, strlen(text)); };

    if (lastServiceCommand == 'p' || lastServiceCommand == 'P') {
        if (ps::strpos(command, "+++") < 0) {
            if (!appendPaste(command, n))
                pasteFailed = true;
            return;
        }
        // A paste that lost bytes, or kept a stale text it could not empty,
        // must not be installed.
        sendText(pasteFailed ? NOT_SAVED : savePaste());
        pasteFailed = false;
        lastServiceCommand = 0;
        return;
    }

    logsave("SERVICE READ: %s", command);
    switch (command[0]) {
    case '\n':
        break;
    case 'c':
    case 'C': {
        const std::string page = showConfig();
        send(page.data(), page.size());
        break;
    }
    case 'h':
    case 'H':
        send(SERVICE_COMMANDS, SERVICE_COMMANDS_LEN);
        break;
    case 'l':
    case 'L': {
        const std::string list = listLogs();
        send(list.data(), list.size());
        break;
    }
    case 'p':
    case 'P': {
        pasteFailed = !startPaste();
        sendText(PASTE_PROMPT);
        break;
    }
    case 'q':
    case 'Q':
        // drop also releases the connection's kind, which OnClose would have done.
        drop(connection);
        break;
    case 's':
    case 'S': {
        char** parts = ps::explode(' ', command, 4, true);
        // A trailing blank makes a fourth part that is empty: no end given.
        if (!parts || !parts[0] || !parts[1] || !parts[2] || !parts[3]) {
            if (parts)
                freeParts(parts);
            sendText(BAD_PARAMS);
            break;
        }
        logsave("\n%s\n%s\n%s\n", parts[1], parts[2], parts[3]);
        uint32_t start = rangeBound(parts[2]);
        uint32_t end = rangeBound(parts[3]);
        // Non-blocking, so that a FIFO cannot stall the server waiting for a writer.
        const int fd = open(parts[1], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        freeParts(parts);
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0) {
            if (fd >= 0)
                ::close(fd);
            sendText(BAD_PARAMS);
            break;
        }
        const unsigned long long size = info.st_size > 0 ? static_cast<unsigned long long>(info.st_size) : 0;
        if (end > size)
            end = static_cast<uint32_t>(size);
        if (start >= end) {
            ::close(fd);
            sendText(BAD_PARAMS);
            break;
        }
        const size_t length = end - start;
        // Never sent, so never read.
        if (length <= static_cast<size_t>(ssock::BUFF_SIZE - connection->getWrLen())) {
            unsigned char range[ssock::BUFF_SIZE];
            if (!readRange(fd, start, length, range)) {
                ::close(fd);
                sendText(BAD_PARAMS);
                break;
            }
            send(reinterpret_cast<const char*>(range), length);
        }
        ::close(fd);
        sendText("\n");
        break;
    }
    case 'v':
    case 'V': {
        const std::string page = versionPage();
        send(page.data(), page.size());
        break;
    }
    default:
        sendText(UNKNOWN);
        break;
    }
    lastServiceCommand = static_cast<unsigned char>(command[0]);
}
