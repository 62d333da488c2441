#include <string>

#include "config.h"
#include "log.h"
#include "myfunc.h"
#include "work.h"

// Stays empty: companion programs outlive the server, so it never stops them.
std::vector<int> lPID;

namespace {

// Lines longer than this are cut, and end the scan.
const size_t LINE_LIMIT = 1023;

}  // namespace

// Companion programs named by the configuration.
void work::startThread()
{
    config* cfg = config::getInstance();
    if (!cfg)
        return;
    const std::string body = cfg->getSection("dorvish");
    size_t pos = 0;
    while (pos < body.size()) {
        const size_t lf = body.find('\n', pos);
        const size_t end = lf == std::string::npos ? body.size() : lf;
        const bool tooLong = end - pos > LINE_LIMIT;
        const std::string line = body.substr(pos, tooLong ? LINE_LIMIT : end - pos);
        pos = end + 1;

        // "exec" at the very start; the character after it separates key and command.
        if (line.compare(0, 4, "exec") == 0) {
            const std::string command = ps::trim(line.size() > 5 ? line.substr(5) : std::string());
            if (!command.empty()) {
                logsave("INF: run '%s'", command.c_str());
                ps::spawn(command.c_str());
            }
        }
        if (tooLong)
            break;
    }
}
