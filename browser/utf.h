// Conversion between wide strings and UTF-8 for the thumbnail database's text columns.
//
// Text is handled as 16-bit units: each wide character is cut to its low 16 bits before
// encoding, so characters outside the Basic Multilingual Plane are not kept (a lookup by
// the same path converts the same way and still finds its row). Pure functions, any
// thread.
#pragma once

#include <string>
#include <vector>

namespace UTF {

// Appends the UTF-8 bytes of each unit (one to three bytes; a surrogate unit is encoded
// by itself like any other unit).
void UTF8Encode2BytesUnicode(const std::vector<unsigned short>& in, std::vector<unsigned char>& out);

// Appends the units decoded from UTF-8 bytes of one to three bytes (lead bytes 0xF0-0xFF
// count as three-byte leads). Malformed input never reads past the end: a stray
// continuation byte gives U+FFFD and is skipped; a sequence cut short by the end gives
// U+FFFD and ends the decoding.
void UTF8Decode2BytesUnicode(const std::vector<unsigned char>& in, std::vector<unsigned short>& out);

}  // namespace UTF

namespace SQL {

// UTF-8 of the 16-bit-truncated characters; empty in, empty out.
std::string T2UTF8(const std::wstring& text);
// Decoded text, ending at the first U+0000.
std::wstring UTF82T(const std::string& utf8);

}  // namespace SQL
