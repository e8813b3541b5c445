#include "Auralis/Utilities/UTF8.h"

namespace auralis::utf8 {

void append(std::string& out, char32_t c)
{
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        c = kReplacementCharacter;
    }
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::u32string decodeLossy(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    const auto size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        // Length and the allowed range of the second byte (Unicode table 3-7).
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        char32_t value = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0F;
            if (lead == 0xE0) {
                low = 0xA0;
            } else if (lead == 0xED) {
                high = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07;
            if (lead == 0xF0) {
                low = 0x90;
            } else if (lead == 0xF4) {
                high = 0x8F;
            }
        } else {
            out.push_back(kReplacementCharacter);
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool valid = true;
        for (; taken < length; ++taken) {
            if (i + taken >= size) {
                valid = false;
                break;
            }
            const auto next = static_cast<unsigned char>(bytes[i + taken]);
            const unsigned char lo = taken == 1 ? low : 0x80;
            const unsigned char hi = taken == 1 ? high : 0xBF;
            if (next < lo || next > hi) {
                valid = false;
                break;
            }
            value = (value << 6) | (next & 0x3F);
        }
        if (valid) {
            out.push_back(value);
            i += length;
        } else {
            // The well-formed prefix so far is one maximal subpart: one replacement for it.
            out.push_back(kReplacementCharacter);
            i += taken;
        }
    }
    return out;
}

std::string encode(std::u32string_view codePoints)
{
    std::string out;
    out.reserve(codePoints.size());
    for (const char32_t c : codePoints) {
        append(out, c);
    }
    return out;
}

std::string sanitize(std::string_view bytes) { return encode(decodeLossy(bytes)); }

} // namespace auralis::utf8
