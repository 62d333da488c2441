#ifndef CASH_DOCUMENTS_H
#define CASH_DOCUMENTS_H

// Cash-register documents as the tests write and read them: the request a register
// sends, the elements of an answer, and the answers in a stream.

#include <string>
#include <vector>

// A request document around body, as a cash register sends it.
inline std::string requestDocument(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<mess>\n" + body + "\n</mess>\n";
}

// The text of element name in an answer document, "" when absent.
inline std::string element(const std::string& doc, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const size_t a = doc.find(open);
    if (a == std::string::npos)
        return "";
    const size_t b = doc.find("</" + name + ">", a);
    return b == std::string::npos ? "" : doc.substr(a + open.size(), b - a - open.size());
}

// Answer documents written to a cash register, one per "<mess>".
inline std::vector<std::string> documents(const std::string& stream)
{
    std::vector<std::string> out;
    size_t a = stream.find("<mess>");
    while (a != std::string::npos) {
        size_t b = stream.find("</mess>", a);
        if (b == std::string::npos)
            break;
        out.push_back(stream.substr(a, b + 7 - a));
        a = stream.find("<mess>", b);
    }
    return out;
}

#endif
