// UTF-8 to and from 16-bit units; see the header.
#include "browser/utf.h"

namespace UTF {

void UTF8Encode2BytesUnicode(const std::vector<unsigned short>& in, std::vector<unsigned char>& out)
{
    out.reserve(out.size() + in.size() * 3);
    for (const unsigned short u : in) {
        if (u <= 0x7F) {
            out.push_back(static_cast<unsigned char>(u));
        } else if (u <= 0x7FF) {
            out.push_back(static_cast<unsigned char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<unsigned char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<unsigned char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<unsigned char>(0x80 | (u & 0x3F)));
        }
    }
}

void UTF8Decode2BytesUnicode(const std::vector<unsigned char>& in, std::vector<unsigned short>& out)
{
    constexpr unsigned short kReplacement = 0xFFFD;
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned b = in[i];
        if ((b & 0xE0) == 0xE0) {
            if (n - i < 3) {
                out.push_back(kReplacement);
                break;
            }
            out.push_back(static_cast<unsigned short>(((b & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6)
                                                      | (in[i + 2] & 0x3F)));
            i += 3;
        } else if ((b & 0xC0) == 0xC0) {
            if (n - i < 2) {
                out.push_back(kReplacement);
                break;
            }
            out.push_back(static_cast<unsigned short>(((b & 0x1F) << 6) | (in[i + 1] & 0x3F)));
            i += 2;
        } else if (b < 0x80) {
            out.push_back(static_cast<unsigned short>(b));
            i += 1;
        } else {  // a continuation byte where a sequence should start
            out.push_back(kReplacement);
            i += 1;
        }
    }
}

}  // namespace UTF

namespace SQL {

std::string T2UTF8(const std::wstring& text)
{
    if (text.empty())
        return {};
    std::vector<unsigned short> units;
    units.reserve(text.size());
    for (const wchar_t c : text)
        units.push_back(static_cast<unsigned short>(static_cast<unsigned long>(c) & 0xFFFF));
    std::vector<unsigned char> bytes;
    UTF::UTF8Encode2BytesUnicode(units, bytes);
    return std::string(bytes.begin(), bytes.end());
}

std::wstring UTF82T(const std::string& utf8)
{
    std::vector<unsigned short> units;
    UTF::UTF8Decode2BytesUnicode(std::vector<unsigned char>(utf8.begin(), utf8.end()), units);
    std::wstring out;
    out.reserve(units.size());
    for (const unsigned short u : units) {
        if (u == 0)
            break;
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

}  // namespace SQL
