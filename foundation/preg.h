#ifndef DORVISH_PREG_H
#define DORVISH_PREG_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Perl-syntax matching in the manner of PHP's preg_* functions. Every call
// compiles its pattern; a bad pattern throws boost::regex_error. Output vectors
// are only appended to.
namespace reg {

// A group's text and its byte position in the whole subject.
typedef std::pair<std::string, uint32_t> group;
typedef std::vector<group> groups;

int preg_match(const std::string& pattern, const std::string& subject, std::vector<group>& out,
               unsigned offset);
int preg_match(const std::string& pattern, const std::string& subject, std::vector<group>& out);
int preg_match(const std::string& pattern, const std::string& subject,
               std::vector<std::string>& out, unsigned offset);
int preg_match(const std::string& pattern, const std::string& subject,
               std::vector<std::string>& out);
int preg_match(const std::string& pattern, const std::string& subject);
// Every successive match; returns how many.
int preg_match_all(const std::string& pattern, const std::string& subject,
                   std::vector<std::vector<group>>& out);
// Replaces every match (Boost format syntax); 1 when out is non-empty.
int preg_replace(const std::string& pattern, const std::string& subject,
                 const std::string& format, std::string& out);

}  // namespace reg

#endif
