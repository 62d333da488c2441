#include "config.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <vector>

#include "myfunc.h"
#include "preg.h"

config* config::gConfigObj = nullptr;

config::config() : loaded(0)
{
    gConfigObj = this;
}

config::~config()
{
    if (gConfigObj == this)
        gConfigObj = nullptr;
}

config* config::getInstance()
{
    if (!gConfigObj) {
        if (!new (std::nothrow) config) {
            std::cout << "Error: unable to create CONFIG object" << std::endl;
            return nullptr;
        }
    }
    return gConfigObj;
}

void config::free()
{
    delete gConfigObj;
    gConfigObj = nullptr;
}

std::string config::getPath()
{
    path = "config.cfg";
    return path;
}

int config::confInit(std::string name)
{
    // The first successful load is the only one for the life of the process.
    if (loaded == 1)
        return 1;
    // "e": no program the daemon starts gets the file.
    FILE* f = std::fopen(name.c_str(), "rbe");
    if (!f)
        return 0;
    char buffer[4096];
    const size_t n = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    if (n == 0) {
        loaded = 0;
        return 0;
    }
    text.assign(buffer, strnlen(buffer, n));
    loaded = 1;
    return 1;
}

std::string config::getSection(std::string name)
{
    params.clear();
    section = name;
    if (loaded == 0)
        return std::string();

    std::vector<std::string> found;
    if (!reg::preg_match("\\[" + name + "\\]([^\\[]*)((\\[.+\\])|$)", text, found))
        return std::string();
    const std::string body = found[1];

    std::vector<std::vector<reg::group>> lines;
    reg::preg_match_all("([^\n]*)([\n]+)", body, lines);
    for (const std::vector<reg::group>& line : lines) {
        std::string content = line[1].first;
        const size_t comment = content.find('#');
        if (comment != std::string::npos)
            content.erase(comment);
        std::vector<std::string> keyValue;
        if (reg::preg_match("([\\w]+)[\\s\\t]+(.+)", content, keyValue))
            params.insert(std::make_pair(keyValue[1], ps::trim(keyValue[2])));  // first one wins
    }
    return body;
}

std::string config::getParam(std::string sectionName, std::string key)
{
    if (loaded == 0)
        return std::string();
    getSection(sectionName);
    const std::map<std::string, std::string>::const_iterator it = params.find(key);
    return it == params.end() ? std::string() : it->second;
}
