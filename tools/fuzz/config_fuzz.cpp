// A configuration file is untrusted text: load it into a fresh reader and read it
// the way the server does at start-up: every key of its section, the terminal
// port keys found in the section body, the settlement time and the codec's keys.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config.h"
#include "epmess.h"
#include "myfunc.h"
#include "preg.h"
#include "scratch.h"

namespace {

const char* const KEYS[] = {
    "log",         "loglevel",    "mask",        "success_log", "stl_timeout", "pur_timeout", "ref_timeout",
    "voi_timeout", "cmp_timeout", "png_timeout", "voi_repeat",  "png_period",  "loadkeyon",   "stlstarton",
    "stltimeon",   "utf",         "stl_time",    "xmlport",     "serviceport", "port_1",
};

void writeFile(const std::string& name, const uint8_t* data, size_t size)
{
    FILE* f = fopen(name.c_str(), "wb");
    if (!f) {
        perror(name.c_str());
        abort();
    }
    if (size && fwrite(data, 1, size, f) != size) {
        perror(name.c_str());
        abort();
    }
    fclose(f);
}

// HH:MM as the server core splits it.
void splitTime(const std::string& text)
{
    char** parts = ps::explode(':', text.c_str(), 2, false);
    if (!parts)
        return;
    for (char** p = parts; *p; ++p)
        free(*p);
    free(parts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = fuzzScratch::enter() + "/dorvish.cfg";
    writeFile(file, data, size);

    config::free();
    config* cfg = config::getInstance();
    if (!cfg)
        abort();
    cfg->confInit(file);

    const std::string body = cfg->getSection("dorvish");
    for (const char* key : KEYS)
        cfg->getParam("dorvish", key);
    splitTime(cfg->getParam("dorvish", "stl_time"));

    // Terminal ports are named anywhere in the body's raw text.
    std::vector<std::vector<reg::group>> found;
    reg::preg_match_all("port_([0-9]+)", body, found);
    for (const std::vector<reg::group>& port : found)
        cfg->getParam("dorvish", port[0].first);

    // The codec takes its log level, card mask and success-log switch from here.
    {
        epmess codec;
        codec.maskCard("4111111111111111");
        codec.maskCard("");
    }

    config::free();
    return 0;
}
