#pragma once

// Stand-in for the qjson serializer, which Debian does not package and which the POS host
// provides in its own process: turns a QVariant (maps, lists, texts, numbers, null) into
// compact JSON text, over Qt's own JSON classes.
//
// The plug-in reserves the object's bytes itself and leaves its constructor, destructor
// and serialize to the host's library, so the class must have that library's layout: one
// private pointer, which the constructor sets (qjson 0.6 to 0.9). The stand-in keeps its
// own part behind that pointer.

#include <QByteArray>
#include <QVariant>

namespace QJson {

class SerializerPrivate;

class Serializer
{
public:
    Serializer();
    ~Serializer();

    QByteArray serialize(const QVariant& variant);

private:
    Serializer(const Serializer&) = delete;
    Serializer& operator=(const Serializer&) = delete;

    SerializerPrivate* const d;
};

static_assert(sizeof(Serializer) == sizeof(void*),
              "QJson::Serializer must keep qjson's layout: exactly one pointer");

} // namespace QJson
