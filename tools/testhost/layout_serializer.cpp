// The qjson serializer as the POS host's process carries it, for the layout host: written
// here on its own, not from the plug-in's stand-in header, with the real library's object
// layout (one private pointer, set by the constructor). The plug-in only reserves the
// object's bytes and calls these three functions, so a plug-in built against a class of
// another size gets its stack overwritten by the constructor. Every call checks that its
// pointer is still the one the constructor set; a broken object, or one never destroyed,
// ends the host with exit status 3 before any harm can look like a result. Built with
// HOST_LACKS_SERIALIZE it is a host whose qjson is too old for the plug-in: it has no
// one-argument serialize.

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <cstdio>
#include <cstdlib>
#include <cstdint>

namespace QJson {

class SerializerPrivate;

class Q_DECL_EXPORT Serializer
{
public:
    Serializer();
    ~Serializer();
#ifndef HOST_LACKS_SERIALIZE
    QByteArray serialize(const QVariant& variant);
#endif

private:
    Serializer(const Serializer&) = delete;
    Serializer& operator=(const Serializer&) = delete;

    SerializerPrivate* const d;
};

class SerializerPrivate
{
public:
    explicit SerializerPrivate(const Serializer* owner)
        : owner(owner), check(uintptr_t(owner) ^ kSeal)
    {
    }

    // Ties the private part to the object that made it: a pointer overwritten by the
    // caller's other data no longer names a live private part for this object.
    bool belongsTo(const Serializer* object) const
    {
        return owner == object && check == (uintptr_t(object) ^ kSeal);
    }

    static constexpr uintptr_t kSeal = uintptr_t(0x5a17c0de5a17c0deull);
    const Serializer* const owner;
    const uintptr_t check;
};

} // namespace QJson

namespace {

[[noreturn]] void broken(const char* call)
{
    std::fprintf(stderr,
                 "layouthost: the plug-in broke the host's QJson::Serializer (%s): its private "
                 "pointer is no longer the one the constructor set\n",
                 call);
    std::fflush(stderr);
    std::_Exit(3);
}

// Private parts that are alive, so that a stray pointer is recognised without being followed.
QSet<const void*>& live()
{
    static QSet<const void*>* parts = new QSet<const void*>;
    return *parts;
}

// At exit every serializer the plug-in made must have been destroyed again.
struct LeakCheck
{
    ~LeakCheck()
    {
        if (!live().isEmpty()) {
            std::fprintf(stderr, "layouthost: %d QJson::Serializer object(s) never destroyed\n",
                         live().size());
            std::fflush(stderr);
            std::_Exit(3);
        }
    }
} leakCheck;

QByteArray quoted(const QString& text)
{
    QByteArray out("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c.unicode() < 0x20)
                out += "\\u" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
            else
                out += QString(c).toUtf8();
        }
    }
    return out + '"';
}

// qjson's own spacing, "{ "key" : value, ... }", unlike the stand-in's compact text: a test
// can tell from the print images whose serializer made them.
[[maybe_unused]] QByteArray write(const QVariant& value)
{
    switch (value.type()) {
    case QVariant::Invalid:
        return "null";
    case QVariant::Map: {
        const QVariantMap map = value.toMap();
        QByteArrayList items;
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            items.append(quoted(it.key()) + " : " + write(it.value()));
        return items.isEmpty() ? QByteArray("{}") : "{ " + items.join(", ") + " }";
    }
    case QVariant::List:
    case QVariant::StringList: {
        QByteArrayList items;
        for (const QVariant& item : value.toList())
            items.append(write(item));
        return items.isEmpty() ? QByteArray("[]") : "[ " + items.join(", ") + " ]";
    }
    case QVariant::Bool:
        return value.toBool() ? "true" : "false";
    case QVariant::Int:
    case QVariant::LongLong:
        return QByteArray::number(value.toLongLong());
    case QVariant::UInt:
    case QVariant::ULongLong:
        return QByteArray::number(value.toULongLong());
    case QVariant::Double:
        return QByteArray::number(value.toDouble(), 'g', 17);
    default:
        return value.isNull() ? QByteArray("null") : quoted(value.toString());
    }
}

} // namespace

namespace QJson {

Serializer::Serializer()
    : d(new SerializerPrivate(this))
{
    live().insert(d);
}

Serializer::~Serializer()
{
    if (!live().contains(d) || !d->belongsTo(this))
        broken("destructor");
    live().remove(d);
    delete d;
}

#ifndef HOST_LACKS_SERIALIZE
QByteArray Serializer::serialize(const QVariant& variant)
{
    if (!live().contains(d) || !d->belongsTo(this))
        broken("serialize");
    return write(variant);
}
#endif

// The size the plug-in must reserve: exactly the one pointer.
static_assert(sizeof(Serializer) == sizeof(void*), "qjson's Serializer holds one pointer");

} // namespace QJson
