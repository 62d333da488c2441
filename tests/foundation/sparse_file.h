#ifndef SPARSE_FILE_H
#define SPARSE_FILE_H

// Files larger than a 32-bit offset reaches, made sparse so that they cost no space.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Just past the largest offset a 32-bit off_t holds.
const off_t kPastTwoGiB = (static_cast<off_t>(1) << 31) + 4096;

// Makes path a file of size bytes that holds no data yet. false, with the reason
// in why, when the file system cannot hold such a file sparsely.
inline bool makeSparse(const std::string& path, off_t size, std::string& why)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        why = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = ::ftruncate(fd, size) == 0;
    if (!ok)
        why = "no file of more than 2 GiB here: " + std::string(std::strerror(errno));
    else if (::fstat(fd, &st) != 0 || static_cast<off_t>(st.st_blocks) * 512 >= size / 2) {
        ok = false;
        why = "the file system has no sparse files";
    }
    ::close(fd);
    if (!ok)
        ::unlink(path.c_str());
    return ok;
}

// The file's size, -1 when it cannot be looked at.
inline off_t fileSize(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The bytes of the file from offset to its end.
inline std::string readFrom(const std::string& path, off_t offset)
{
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, offset)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        offset += n;
    }
    ::close(fd);
    return out;
}

#endif
