#ifndef CODEC_HELPERS_H
#define CODEC_HELPERS_H

// Small fixtures shared by the codec tests: byte literals, a scratch directory, the
// log file redirected into it, and a configuration loaded for the next codec.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "epmess.h"
#include "log.h"

typedef std::vector<unsigned char> bytes;

// "9B 02 30 30" -> {0x9B, 0x02, 0x30, 0x30}
inline bytes hexBytes(const std::string& hex)
{
    bytes out;
    std::istringstream in(hex);
    std::string b;
    while (in >> b)
        out.push_back(static_cast<unsigned char>(std::stoul(b, nullptr, 16)));
    return out;
}

inline bytes textBytes(const std::string& s) { return bytes(s.begin(), s.end()); }

inline bytes concat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A value as the reader stores it: the text and one NUL.
inline bytes z(const std::string& text)
{
    bytes v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

// One TLV field with a short or long length, as a terminal would send it.
inline bytes tlv(const bytes& tag, const bytes& value)
{
    const size_t n = value.size();
    bytes length;
    if (n < 0x80)
        length = {static_cast<unsigned char>(n)};
    else if (n <= 0xFF)
        length = {0x81, static_cast<unsigned char>(n)};
    else
        length = {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n & 0xFF)};
    return concat({tag, length, value});
}

inline bytes tlv(unsigned char tag, const std::string& text) { return tlv(bytes{tag}, textBytes(text)); }

// Text of a stored value, up to its first NUL.
inline std::string textOf(const field& f)
{
    std::string s;
    for (unsigned char c : f.value) {
        if (!c)
            break;
        s += static_cast<char>(c);
    }
    return s;
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline void removeTree(const std::string& path)
{
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            std::string full = path + "/" + name;
            struct stat st;
            if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                removeTree(full);
            else
                unlink(full.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/codec-test-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp");
        path_ = tmpl;
    }
    ~TempDir() { removeTree(path_); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes the directory the working directory for the scope.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir)
    {
        char buf[4096];
        if (!getcwd(buf, sizeof buf) || chdir(dir.c_str()) != 0)
            throw std::runtime_error("chdir");
        old_ = buf;
    }
    ~ScopedCwd()
    {
        if (chdir(old_.c_str()) != 0)
            perror("chdir back");
    }

private:
    std::string old_;
};

// Sends the log to a scratch file and hands back its lines without the time prefix.
class LogCapture {
public:
    LogCapture() { setpath(dir_.file("log.txt").c_str()); }
    ~LogCapture() { setpath(dir_.file("after.txt").c_str()); }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::istringstream in(readFile(dir_.file("log.txt")));
        std::string line;
        // "HH:MM:SS : " comes first on every line.
        while (std::getline(in, line))
            out.push_back(line.size() >= 11 ? line.substr(11) : line);
        return out;
    }
    void clear() const { unlink(dir_.file("log.txt").c_str()); }

private:
    TempDir dir_;
};

// Loads a configuration text for the codecs constructed in the scope; afterwards the
// configuration is empty again.
class ScopedConfig {
public:
    explicit ScopedConfig(const std::string& text)
    {
        {
            std::ofstream out(dir_.file("test.cfg"), std::ios::binary);
            out << text;
        }
        config::free();
        config::getInstance()->confInit(dir_.file("test.cfg"));
    }
    ~ScopedConfig() { config::free(); }

private:
    TempDir dir_;
};

#endif
