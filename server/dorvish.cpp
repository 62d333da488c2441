// dorvish: the EFT server daemon between cash registers and PIN-pad terminals.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "appdaemon.h"
#include "config.h"
#include "log.h"
#include "param.h"
#include "work.h"

namespace {
const char BUILD_STAMP[] = "Mon Sep 14 18:30:39 2015";
}

int main(int argc, char** argv)
{
    param* options = param::getInstance();
    if (options)
        options->paramInit(argc, argv);
    std::string path = options ? options->getParam('c') : std::string();

    config* cfg = config::getInstance();
    if (cfg)
        cfg->confInit(path);

    cBinName = strdup(baseName(argc > 0 ? argv[0] : ""));
    if (!cBinName) {
        printf("Demon not starting...\n");
        return 1;
    }
    // Refused here rather than in the child, so the caller sees the failure.
    if (strlen(cBinName) > MAX_BIN_NAME) {
        printf("Cant create PID: program name longer than %zu characters\n", MAX_BIN_NAME);
        printf("Demon not starting...\n");
        return 1;
    }

    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        printf("fork error\n");
        return 1;
    }
    if (pid > 0)
        return 0;

    if (!customDaemon()) {
        printf("Demon not starting...\n");
        fflush(stdout);
        return 1;
    }
    if (!cfg)
        return 0;

    setpath(cfg->getParam("dorvish", "log").c_str());
    logsave("Start");
    logsave("build: %s", BUILD_STAMP);

    work* core = new (std::nothrow) work();
    if (core && core->init()) {
        armRunning();
        // The loop reads the flag through a volatile access of its own.
        core->run(const_cast<unsigned char*>(&uContinue));
    }
    logsave("Stop\n");
    delete core;
    return 0;
}
