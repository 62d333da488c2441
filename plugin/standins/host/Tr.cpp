// Stand-in for the POS host's translatable message. The real host supplies this code in
// its own process; the test host and the unit tests link this copy instead. With no
// translation catalogue here, the operator's text is the Russian one.

#include "Tr.h"

#include "../placeholders.h"

namespace tr {

Tr::Tr() = default;

Tr::Tr(const QString& id, const QString& ruText)
    : m_id(id), m_ruText(ruText)
{
}

Tr::~Tr() = default;

Tr& Tr::arg(const QString& value)
{
    m_args.append(value);
    return *this;
}

bool Tr::isEmpty() const
{
    return ru().isEmpty();
}

QString Tr::id() const
{
    return m_id;
}

QString Tr::ru() const
{
    return standins::fillPlaceholders(m_ruText, m_args);
}

QString Tr::ui() const
{
    return ru();
}

bool Tr::operator==(const Tr& other) const
{
    return m_id == other.m_id && m_ruText == other.m_ruText && m_args == other.m_args;
}

bool Tr::operator!=(const Tr& other) const
{
    return !(*this == other);
}

} // namespace tr
