#include "param.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {
const char kVersion[] = "0.481";
}

param* param::gParamObj = nullptr;

const char param::optionsShort[] = "hc:";

const struct option param::optionsLong[] = {
    {"help", no_argument, nullptr, 'h'},
    {"config", required_argument, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

param::param() : initialised(0) {
    gParamObj = this;
}

param::~param() {
    // Never leave the global pointing at a dead object.
    if (gParamObj == this) {
        gParamObj = nullptr;
    }
}

param* param::getInstance() {
    if (gParamObj == nullptr) {
        // The constructor registers the new object itself.
        if (new (std::nothrow) param() == nullptr) {
            std::printf("Error: unable to create PARAM object\n");
            return nullptr;
        }
    }
    return gParamObj;
}

void param::free() {
    delete gParamObj;
    gParamObj = nullptr;
}

void param::paramInit(int argc, char* const* argv) {
    if (initialised == 1) {
        return;
    }
    options.clear();

    if (argc > 0 && argv != nullptr) {
        // getopt keeps its position in globals; 0 makes it start over, so a
        // fresh object can read another command line in the same process.
        optind = 0;
        int result;
        while ((result = getopt_long(argc, argv, optionsShort, optionsLong, nullptr)) != -1) {
            for (const struct option* entry = optionsLong; entry->name != nullptr; ++entry) {
                if (result != entry->val) {
                    continue;
                }
                if (result == 'h') {
                    printHelp();
                    std::exit(0);
                }
                if (result == 'c' && optarg != nullptr) {
                    // The first -c counts.
                    options.insert(std::make_pair('c', std::string(optarg)));
                }
                break;
            }
        }
    }

    if (options.find('c') == options.end()) {
        printHelp();
        std::exit(0);
    }
    initialised = 1;
}

std::string param::getParam(char letter) {
    if (initialised != 1) {
        return "";
    }
    std::map<char, std::string>::const_iterator found = options.find(letter);
    return found == options.end() ? std::string() : found->second;
}

void param::printHelp() {
    std::printf("version: %s\n", kVersion);
    std::printf("Usage: dorvish -c CONFIGFILE\n-h\t--help\t\tDisplay this usage information\n"
                "-c\t--config\t(example) /etc/dorvish.cfg\n");
}
