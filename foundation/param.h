#ifndef DORVISH_PARAM_H
#define DORVISH_PARAM_H

#include <getopt.h>

#include <map>
#include <string>

// The server's command line, read once and kept by option letter.
class param {
public:
    // Created on first use; null only when the allocation fails.
    static param* getInstance();
    // Destroys the instance, so that a fresh one can read another command line.
    static void free();

    // Ends the process with status 0 after the usage text on -h, --help or
    // when no -c is given.
    void paramInit(int argc, char* const* argv);
    // "" for a letter without argument and before paramInit has completed.
    std::string getParam(char letter);
    void printHelp();

    param();
    ~param();
    param(const param&) = delete;
    param& operator=(const param&) = delete;

    static param* gParamObj;

private:
    static const char optionsShort[];
    static const struct option optionsLong[];

    int initialised;
    std::map<char, std::string> options;
};

#endif
