#ifndef TEST_FILES_H
#define TEST_FILES_H

// Files and scratch directories of the tests, and the monotonic clock they wait by.

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline long long monoMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Everything left to read from an open stream.
inline std::string readAll(FILE* f)
{
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return out;
}

// The whole file, "" when it cannot be read.
inline std::string readFile(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return "";
    const std::string out = readAll(f);
    fclose(f);
    return out;
}

inline void writeFile(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str()); // the test that needed the file fails on its own
        return;
    }
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// A directory of its own, /tmp/<prefix>-XXXXXX, removed with all it holds when it goes.
class scratchTree {
public:
    explicit scratchTree(const std::string& prefix)
    {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(&tmpl[0]))
            path = tmpl;
        else
            perror("mkdtemp");
    }
    ~scratchTree()
    {
        if (path.empty())
            return;
        const std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0)
            perror("rm");
    }
    scratchTree(const scratchTree&) = delete;
    scratchTree& operator=(const scratchTree&) = delete;

    std::string path; // "" when it could not be made
};

#endif
