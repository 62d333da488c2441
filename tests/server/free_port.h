#ifndef FREE_PORT_H
#define FREE_PORT_H

// Listening ports for tests that start servers. Test programs run in parallel, so a port
// that bind(0) reported free can reach another program, or become the source port of an
// outgoing connection, before our server binds it. Ports are therefore taken below the
// system's ephemeral range, from a block chosen by the process id, and each one is
// locked against our other test programs and probed on every address before it is
// handed out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

inline bool portBindable(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<unsigned short>(port));
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Two test programs whose process ids share a block would probe the same ports at the
// same moment; a lock per port, held until this program ends, keeps each port to one.
// The lock's descriptor, or -1 when another program holds the port or its lock file
// cannot be opened (another user's, perhaps: leave the port alone).
inline int lockPort(int port)
{
    const std::string path = "/tmp/dorvish-test-port-" + std::to_string(port) + ".lock";
    const int fd = open(path.c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int freeTcpPort()
{
    const int first = 20000;
    const int width = 24;   // ports a block
    const int blocks = 500; // 20000 to 31999, below the ephemeral range
    static int handed = 0;
    const int block = static_cast<int>(getpid()) % blocks;
    for (int tries = 0; tries < width * blocks; ++tries) {
        const int port = first + (block * width + handed++) % (width * blocks);
        const int lock = lockPort(port);
        if (lock < 0)
            continue;
        if (portBindable(port))
            return port; // the lock stays taken as long as this program runs
        close(lock);
    }
    return 0;
}

#endif
