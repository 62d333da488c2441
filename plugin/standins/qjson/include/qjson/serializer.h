#pragma once

// Stand-in for the qjson serializer, which Debian does not package and which the POS host
// provides in its own process: turns a QVariant (maps, lists, texts, numbers, null) into
// compact JSON text, over Qt's own JSON classes.

#include <QByteArray>
#include <QVariant>

namespace QJson {

class Serializer
{
public:
    Serializer();
    ~Serializer();

    QByteArray serialize(const QVariant& variant);

private:
    Serializer(const Serializer&) = delete;
    Serializer& operator=(const Serializer&) = delete;
};

} // namespace QJson
