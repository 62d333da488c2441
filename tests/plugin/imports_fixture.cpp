// A library that announces Qt 5.12 in its plug-in metadata like the plug-in, but is built
// the way the plug-in must not be: with Qt's version tagging, and with the variadic
// QString::arg of newer Qt. The import check has to reject it.

#include <QString>

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
