#pragma once

#include <QtGlobal>

// The host's 4-byte card mark; compared as one value.
struct CardMark
{
    quint32 bits = 0;

    bool operator==(const CardMark& other) const { return bits == other.bits; }
    bool operator!=(const CardMark& other) const { return bits != other.bits; }
};
