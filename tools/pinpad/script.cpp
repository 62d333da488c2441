#include "script.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace pinpad {

namespace {

// Whole-text decimal, 0 to 10 minutes: wider values are typing errors in a test.
bool parseMs(const std::string& text, int& out)
{
    if (text.empty() || text.size() > 6)
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > 600000)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool validCode(const std::string& code)
{
    if (code.empty() || code.size() > 8)
        return false;
    for (char c : code)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Three capitals, like a kind text, or "-" for a message without a kind.
bool validNotice(const std::string& kind)
{
    if (kind == "-")
        return true;
    if (kind.size() != 3)
        return false;
    for (char c : kind)
        if (!std::isupper(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

void splitAt(const std::string& s, char c, std::string& head, std::string& tail, bool& found)
{
    size_t at = s.find(c);
    found = at != std::string::npos;
    head = found ? s.substr(0, at) : s;
    tail = found ? s.substr(at + 1) : "";
}

}  // namespace

bool parseStep(const std::string& input, Step& step, int& count, std::string& error)
{
    step = Step{};
    count = 1;
    std::string text = trim(input);
    std::string head, tail;
    bool found;

    size_t star = text.find('*');
    if (star != std::string::npos) {
        int n;
        if (!parseMs(text.substr(0, star), n) || n < 1 || n > 10000) {
            error = "bad repeat count in '" + input + "'";
            return false;
        }
        count = n;
        text = text.substr(star + 1);
    }
    size_t at = text.rfind('@');
    if (at != std::string::npos) {
        if (!parseMs(text.substr(at + 1), step.delayMs)) {
            error = "bad delay in '" + input + "'";
            return false;
        }
        text = text.substr(0, at);
    }

    std::vector<std::string> parts;
    std::string rest = text;
    do {
        splitAt(rest, '/', head, tail, found);
        parts.push_back(head);
        rest = tail;
    } while (found);

    for (size_t i = 0; i < parts.size(); ++i) {
        std::string name, arg;
        bool hasArg;
        splitAt(parts[i], ':', name, arg, hasArg);
        bool ok = true;
        bool argUsed = false;
        if (name == "split") {
            step.split = true;
            if (hasArg) {
                ok = parseMs(arg, step.gapMs);
                argUsed = true;
            }
        } else if (name == "double") {
            step.twice = true;
        } else if (name == "notice") {
            ok = hasArg && validNotice(arg);
            step.notice = arg;
            argUsed = true;
        } else if (i > 0) {
            ok = false;
        } else if (name == "approve" || name == "accept" || name == "decline" || name == "refuse") {
            step.verb = name == "approve" || name == "accept" ? Verb::Approve : Verb::Decline;
            if (hasArg) {
                ok = validCode(arg);
                step.code = arg;
                argUsed = true;
            }
        } else if (name == "late") {
            step.verb = Verb::Approve;
            ok = hasArg && parseMs(arg, step.delayMs);
            argUsed = true;
        } else if (name == "silent") {
            step.verb = Verb::Silent;
        } else if (name == "garbage") {
            step.verb = Verb::Garbage;
        } else if (name == "badtlv") {
            step.verb = Verb::BadTlv;
        } else if (name == "disconnect") {
            step.verb = Verb::Disconnect;
        } else {
            ok = false;
        }
        if (!ok || (hasArg && !argUsed)) {
            error = "bad step '" + input + "'";
            return false;
        }
    }
    return true;
}

bool Script::addRule(const std::string& input, std::string& error)
{
    std::string kind, steps;
    bool found;
    splitAt(trim(input), '=', kind, steps, found);
    kind = trim(kind);
    bool kindOk = kind == "*" || (kind.size() == 3 && std::isupper(static_cast<unsigned char>(kind[0])) &&
                                  std::isupper(static_cast<unsigned char>(kind[1])) &&
                                  std::isupper(static_cast<unsigned char>(kind[2])));
    if (!found || !kindOk) {
        error = "rule must be KIND=STEPS with KIND three capitals or *: '" + input + "'";
        return false;
    }
    Rule rule;
    std::string rest = steps, head, tail;
    do {
        splitAt(rest, ',', head, tail, found);
        Step step;
        int count;
        if (!parseStep(head, step, count, error))
            return false;
        rule.steps.insert(rule.steps.end(), static_cast<size_t>(count), step);
        rest = tail;
    } while (found);
    rules_[kind] = rule;
    return true;
}

bool Script::load(const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read script " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        if (!addRule(line, error)) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

Step Script::next(const std::string& kind)
{
    auto it = rules_.find(kind);
    if (it == rules_.end())
        it = rules_.find("*");
    if (it == rules_.end())
        return Step{};
    Rule& rule = it->second;
    const Step& step = rule.steps[rule.used < rule.steps.size() ? rule.used : rule.steps.size() - 1];
    if (rule.used < rule.steps.size())
        ++rule.used;
    return step;
}

}  // namespace pinpad
