#pragma once

#include <QString>
#include <QStringList>

namespace tr {

// A translatable message of the host: an identifier, its Russian text (which may hold
// "%1", "%2", ...) and the arguments filled into it. The host's process supplies the code;
// the plug-in only binds to it when it is loaded.
class Tr
{
public:
    Tr();
    Tr(const QString& id, const QString& ruText);
    // Copied member-wise. No move operations: a message that is "moved" is copied, and so
    // is the message of a result record that is move-assigned.
    virtual ~Tr();

    // Fills the lowest-numbered placeholder not yet filled.
    Tr& arg(const QString& value);

    bool isEmpty() const;
    QString id() const;
    QString ru() const;
    QString ui() const;

    bool operator==(const Tr& other) const;
    bool operator!=(const Tr& other) const;

private:
    QString m_id;
    QString m_ruText;
    QStringList m_args;
};

} // namespace tr
