// Stand-in for the qjson serializer (see serializer.h).

#include "qjson/serializer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace QJson {

Serializer::Serializer() = default;

Serializer::~Serializer() = default;

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
