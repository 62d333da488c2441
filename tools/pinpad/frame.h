// The two length frames around every message of the terminal link: a 16-bit outer
// length of the inner frame, then a 32-bit inner length of the TLV message, both big-endian.
#pragma once

#include <string>

namespace pinpad {

std::string encodeFrame(const std::string& tlv);

enum class FrameStatus { Complete, Incomplete, Bad };

// Takes the first whole frame off the front of a stream buffer. A real terminal link is
// a byte stream, so a frame may arrive in pieces or several in one read. Bad means the
// two lengths disagree; the buffer is then left as it was.
FrameStatus takeFrame(std::string& buffer, std::string& tlv);

}  // namespace pinpad
