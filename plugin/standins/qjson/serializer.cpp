// Stand-in for the qjson serializer (see serializer.h).

#include "qjson/serializer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace QJson {

// The stand-in needs no state of its own; the part exists so that the object has qjson's
// layout and its pointer is a real one, as the host's library sets it.
class SerializerPrivate
{
};

Serializer::Serializer()
    : d(new SerializerPrivate)
{
}

Serializer::~Serializer()
{
    delete d;
}

QByteArray Serializer::serialize(const QVariant& variant)
{
    const QJsonValue value = QJsonValue::fromVariant(variant);
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    // A document holds only objects and arrays: write a lone value as the one element of an
    // array and drop the brackets.
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

} // namespace QJson
