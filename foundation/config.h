#ifndef DORVISH_CONFIG_H
#define DORVISH_CONFIG_H

#include <map>
#include <string>

// Process-wide reader of the sectioned key-value configuration file. The file is
// loaded once; every getParam parses its section again.
class config {
public:
    static config* gConfigObj;

    static config* getInstance();
    // Destroys the instance, so that the next getInstance starts over.
    static void free();

    // The fixed name of the configuration file in the working directory.
    std::string getPath();
    // 1 when a file is loaded (now or earlier), 0 otherwise.
    int confInit(std::string name);
    // Parses the section into the key table and returns its body, "" when absent.
    std::string getSection(std::string name);
    // Value of key in section, "" when absent.
    std::string getParam(std::string sectionName, std::string key);

private:
    config();
    ~config();
    config(const config&) = delete;
    config& operator=(const config&) = delete;

    int loaded;
    std::string path;
    std::string text;
    std::map<std::string, std::string> params;
    std::string section;
};

#endif
