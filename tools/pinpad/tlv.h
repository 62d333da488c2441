// TLV messages of the terminal link, as a PIN pad writes and reads them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pinpad {

// One field; the value is raw bytes.
struct Field {
    uint16_t tag;
    std::string value;
};

using Fields = std::vector<Field>;

// Appends tag, length (short or shortest long form) and value of each field, in the given order.
std::string encodeTlv(const Fields& fields);

// The length field alone, for a value of the given size.
std::string encodeLength(uint32_t size);

// Reads a whole message. False, with `out` holding the fields read so far, when the
// message ends inside a tag, a length or a value, or a length has more than 4 bytes.
bool decodeTlv(const std::string& message, Fields& out);

// The value of the first field with this tag, or null.
const std::string* findField(const Fields& fields, uint16_t tag);

// "01=PUR 9f26=\x00..." for the log: tags in lower-case hex, bytes outside printable
// ASCII, blanks and backslashes as \xHH, so that a line splits on blanks.
std::string describe(const Fields& fields);
std::string escapeBytes(const std::string& bytes);

}  // namespace pinpad
