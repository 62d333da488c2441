#ifndef CONFNUM_H
#define CONFNUM_H

#include <cstdint>
#include <string>

// A configuration number as strtol with a 32-bit long reads it (base 10,
// saturating at the 32-bit limits), so that the native and the 32-bit builds,
// the server core and the codec all read a key the same way.
int32_t confNumber(const std::string& text);

#endif
