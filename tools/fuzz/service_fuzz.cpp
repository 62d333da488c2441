// A service connection's reads are untrusted bytes: they go through the read
// handler of a service connection one after another, so that the commands, the
// byte ranges, the paste mode and its save all see hostile text.
//
// Input: the first byte sets the state the console starts in (bit 0: paste mode
// already on; bit 1: an empty temporary file already there); the rest is cut at
// SEPARATOR into up to MAX_READS reads, the last taking whatever remains, and
// every read is handed over as one read of the connection.
//
// What the console may touch: it writes only "config.cfg" and "config.cfg.tmp"
// in the working directory, which is the scratch directory, so every input is
// checked to have left nothing else there and to have stayed in it. "s" opens a
// file of any name, but only for reading, non-blocking, and at most one write
// buffer of it. "l" runs "ls -lha" through the shell with the log pattern of the
// loaded configuration, and that configuration is the fixed text below, written
// and loaded here before each input; the console never loads a configuration
// itself (a pasted one only reaches the file), so no input can reach the shell.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config.h"
#include "log.h"
#include "scratch.h"
#include "work_peer.h"

namespace {

const char CONFIG_NAME[] = "config.cfg";
const char TEMP_NAME[] = "config.cfg.tmp";

// "l" lists the configuration file and its temporary copy: a pattern that
// matches, relative, so that the listing stays in the scratch directory.
const char CONFIG_TEXT[] =
    "[dorvish]\n"
    "log config.cfg%s\n"
    "serviceport 5001\n";

const uint8_t SEPARATOR = 0x1E;
const int MAX_READS = 8;

void writeFile(const char* name, const char* text, size_t length)
{
    FILE* f = fopen(name, "wb");
    if (!f) {
        perror(name);
        abort();
    }
    if (length > 0 && fwrite(text, 1, length, f) != length) {
        perror(name);
        abort();
    }
    fclose(f);
}

// The console must never leave the scratch directory or write any other file.
void checkScratch(const std::string& scratch)
{
    char here[4096];
    if (!getcwd(here, sizeof here) || scratch != here) {
        fprintf(stderr, "working directory left the scratch directory\n");
        abort();
    }
    DIR* d = opendir(".");
    if (!d) {
        perror("scratch directory");
        abort();
    }
    while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (strcmp(name, ".") && strcmp(name, "..") && strcmp(name, CONFIG_NAME) && strcmp(name, TEMP_NAME)) {
            fprintf(stderr, "unexpected file in the scratch directory: %s\n", name);
            abort();
        }
    }
    closedir(d);
}

std::unique_ptr<pairConn> openService(work& core)
{
    std::unique_ptr<pairConn> c(new pairConn);
    workPeer::attachKind(core, c->record, CONN_SERVICE);
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string scratch = [] {
        const std::string dir = fuzzScratch::enter();
        setpath("/dev/null"); // millions of inputs must not fill a log file
        return dir;
    }();

    if (size == 0)
        return 0;

    // Nothing of the last input may carry over: not the paste mode, not the
    // pasted text, not a configuration that a paste saved.
    checkScratch(scratch);
    writeFile(CONFIG_NAME, CONFIG_TEXT, sizeof CONFIG_TEXT - 1);
    if (data[0] & 2)
        writeFile(TEMP_NAME, "", 0);
    else
        unlink(TEMP_NAME);
    lastServiceCommand = (data[0] & 1) ? 'p' : 0;
    config::free();
    if (config::getInstance()->confInit(CONFIG_NAME) != 1) {
        fprintf(stderr, "cannot load the fuzz configuration\n");
        abort();
    }

    {
        work core;
        // Declared after the core, so it goes first and the core never outlives
        // a record it holds.
        std::unique_ptr<pairConn> conn = openService(core);

        const uint8_t* p = data + 1;
        const uint8_t* end = data + size;
        for (int reads = 0; p < end && reads < MAX_READS; ++reads) {
            const uint8_t* cut = end;
            if (reads + 1 < MAX_READS) {
                const void* at = memchr(p, SEPARATOR, static_cast<size_t>(end - p));
                if (at)
                    cut = static_cast<const uint8_t*>(at);
            }
            // The reactor never hands over an empty read.
            if (cut > p) {
                conn->arrive(std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(cut - p)));
                core.OnRead(conn->record);
                conn->received(); // keeps the socket pair from filling up
                // After "q" the next read comes on a new connection.
                if (conn->record->sock < 0)
                    conn = openService(core);
            }
            p = cut < end ? cut + 1 : end;
        }
    }
    lastServiceCommand = 0;
    config::free();
    checkScratch(scratch);
    return 0;
}
