#include "preg.h"

#include <boost/regex.hpp>

namespace reg {

int preg_match(const std::string& pattern, const std::string& subject, std::vector<group>& out,
               unsigned offset)
{
    // Compiled first, so that a bad pattern throws whatever the offset.
    boost::regex re(pattern);
    if (offset > subject.size())
        return 0;
    // Searching a copy of the rest makes "^" and friends see its first byte as a text start.
    const std::string rest = subject.substr(offset);
    boost::smatch m;
    if (!boost::regex_search(rest, m, re, boost::match_default))
        return 0;
    for (size_t g = 0; g < m.size(); ++g) {
        if (m[g].matched)
            out.push_back(group(m[g].str(), static_cast<uint32_t>(offset + (m[g].first - rest.begin()))));
        else
            out.push_back(group(std::string(), static_cast<uint32_t>(subject.size())));
    }
    return 1;
}

int preg_match(const std::string& pattern, const std::string& subject, std::vector<group>& out)
{
    return preg_match(pattern, subject, out, 0);
}

int preg_match(const std::string& pattern, const std::string& subject,
               std::vector<std::string>& out, unsigned offset)
{
    std::vector<group> found;
    const int rc = preg_match(pattern, subject, found, offset);
    for (const group& g : found)
        out.push_back(g.first);
    return rc;
}

int preg_match(const std::string& pattern, const std::string& subject,
               std::vector<std::string>& out)
{
    return preg_match(pattern, subject, out, 0);
}

int preg_match(const std::string& pattern, const std::string& subject)
{
    std::vector<group> found;
    return preg_match(pattern, subject, found, 0);
}

int preg_match_all(const std::string& pattern, const std::string& subject,
                   std::vector<std::vector<group>>& out)
{
    int count = 0;
    size_t offset = 0;
    std::vector<group> found;
    while (offset <= subject.size() &&
           preg_match(pattern, subject, found, static_cast<unsigned>(offset))) {
        const size_t start = found[0].second;
        const size_t length = found[0].first.size();
        // An empty match would be found again at the same place for ever.
        offset = length ? start + length : start + 1;
        out.push_back(found);
        found.clear();
        ++count;
    }
    return count;
}

int preg_replace(const std::string& pattern, const std::string& subject,
                 const std::string& format, std::string& out)
{
    boost::regex re(pattern);
    out = boost::regex_replace(subject, re, format, boost::match_default | boost::format_all);
    return out.empty() ? 0 : 1;
}

}  // namespace reg
