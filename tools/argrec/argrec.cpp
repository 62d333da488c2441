// Test program: appends one line per run to "argrec.out" in its working
// directory: its process id, then every argument (argv[0] first), each after a
// tab. Bytes below 0x20, 0x7f and backslash are written as \xNN, so a stray
// carriage return or tab in an argument shows.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    std::string line = std::to_string(getpid());
    for (int i = 0; i < argc; ++i) {
        line += '\t';
        for (const char* p = argv[i]; *p; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7f || c == '\\') {
                char hex[5];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                line += hex;
            } else {
                line += static_cast<char>(c);
            }
        }
    }
    line += '\n';
    // One write on an O_APPEND descriptor: runs that overlap never mix their lines.
    const int fd = open("argrec.out", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    const bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return ok ? 0 : 1;
}
