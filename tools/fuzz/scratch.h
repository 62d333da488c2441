#ifndef FUZZ_SCRATCH_H
#define FUZZ_SCRATCH_H

// A private directory for everything a fuzz target writes. The first call creates
// it and makes it the working directory, so that files the server names relative
// to its working directory stay inside; it is removed when the process exits.
// Give the fuzzer absolute corpus paths: a relative one would resolve in here.

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzScratch {

inline std::string& dirName()
{
    static std::string name;
    return name;
}

inline int removeEntry(const char* path, const struct stat64*, int, struct FTW*)
{
    return ::remove(path);
}

inline void removeDir()
{
    // nftw64 whatever the including target's file offset size: with the 32-bit default the
    // walk fails on a large inode number and would leave the directory behind.
    if (!dirName().empty())
        nftw64(dirName().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The directory's absolute path; aborts when it cannot be made, since a target
// must not run anywhere else.
inline const std::string& enter()
{
    std::string& name = dirName();
    if (name.empty()) {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dorvish-fuzz-XXXXXX";
        if (!mkdtemp(&tmpl[0]) || chdir(tmpl.c_str()) != 0) {
            perror("fuzz scratch directory");
            abort();
        }
        char here[4096];
        name = getcwd(here, sizeof here) ? here : tmpl;
        atexit(removeDir);
    }
    return name;
}

}  // namespace fuzzScratch

#endif
