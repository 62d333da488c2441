// A library that announces Qt 5.12 in its plug-in metadata like the plug-in, but is built
// the way the plug-in must not be: lazily bound, with Qt's version tagging, and calling Qt
// functions of later releases that Qt files under its plain Qt_5 node (the variadic
// QString::arg, QLocale::toLong of a QString, QString::indexOf and QStringList::join of a
// QStringView). The import check has to reject each of them.

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QStringView>

__attribute__((section(".qtmetadata"), used))
const unsigned char fixtureMetaData[] = {
    'Q', 'T', 'M', 'E', 'T', 'A', 'D', 'A', 'T', 'A', ' ', '!',
    0, 5, 12, 0,
    0xbf, 0xff
};

Q_DECL_EXPORT QString importsFixtureJoin(const QString& a, const QString& b)
{
    return QStringLiteral("%1 %2").arg(a, b);
}

Q_DECL_EXPORT long importsFixtureNumber(const QString& text)
{
    return QLocale::c().toLong(text);
}

Q_DECL_EXPORT int importsFixtureFind(const QString& text, const QString& part)
{
    return text.indexOf(QStringView(part));
}

Q_DECL_EXPORT QString importsFixtureList(const QStringList& parts, const QString& separator)
{
    return parts.join(QStringView(separator));
}
