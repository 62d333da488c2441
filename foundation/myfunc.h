#ifndef DORVISH_MYFUNC_H
#define DORVISH_MYFUNC_H

#include <sys/types.h>

#include <ctime>
#include <string>

// The daemon runs for years and writes logs without bound: on 32-bit x86 it needs the
// 64-bit time_t and file offsets that its build asks for, and every unit that shares
// its types (getTime returns a time_t) must see the same ones.
static_assert(sizeof(time_t) >= 8, "build with _TIME_BITS=64 (and _FILE_OFFSET_BITS=64)");
static_assert(sizeof(off_t) >= 8, "build with _FILE_OFFSET_BITS=64");

// General-purpose helpers of the server; none of them keeps state between calls.
namespace ps {

// Writes value in base (2..36) into buffer and returns it; 34 bytes hold any int.
char* itoa(int value, char* buffer, int base);
// Value of a text of hexadecimal digits; -1 on any other character.
int atoi16(const char* text);
// Current local time (shared localtime storage); formats it into buffer when all
// three arguments are given.
struct tm* getTimeLocal(const char* format, char* buffer, int size);
// The same for a given moment in seconds since the epoch.
struct tm* getTimeLocalAt(time_t moment, const char* format, char* buffer, int size);
time_t getTime();
// Two lowercase hex digits per byte and a NUL; 2*length+1, or 0 when out is too small.
int hexToStr(unsigned char* data, unsigned short length, char* out, unsigned short outSize);
std::string trim(std::string text);
void Watch(void*);
// Logs and sends SIGTERM to a child process.
void kill(int pid);
// Splits text at separator into a malloc'ed, null-terminated array of malloc'ed
// texts (the caller frees each text, then the array). Empty parts are skipped;
// parts beyond limit (> 0) are dropped; null when strict and fewer than limit parts.
char** explode(char separator, const char* text, int limit, bool strict);
// Starts a program (absolute or relative path, no PATH search) in a child process,
// with SIGXFSZ at its default.
int spawn(const char* commandLine);

std::string ansiToUtf(std::string text);
std::string asciiToUtf(std::string text);
std::string ansiToAscii(std::string text);
std::string asciiToAnsi(std::string text);
std::string utfToAnsi(std::string text);
std::string utfToAscii(std::string text);

// One iconv conversion; returns iconv's count, 0 on failure (logged).
size_t codepage(const char* from, const char* in, unsigned inLength, const char* to, char* out,
                unsigned outSize);
// Converted text padded with NULs to exactly min(2*length, 1024) bytes.
std::string CP(const char* from, const char* data, unsigned length, const char* to);
// Byte index of part in text, -1 when absent.
int strpos(const char* text, const char* part);
// Output of a shell command; "ERROR EXECUTE" when it cannot be started.
std::string execute(const char* command);

}  // namespace ps

#endif
