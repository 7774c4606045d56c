#include "cli_text.h"

#include <algorithm>
#include <cstdint>

namespace velmora::tool {

namespace {

// The length of the UTF-8 character at s[i], 0 when the byte there starts
// none. Strict: the second byte's range rules out overlong forms, the
// UTF-16 surrogates (ED A0 80 is U+D800) and code points past U+10FFFF.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    const std::size_t length = c >= 0xc2 && c <= 0xdf   ? 2
                               : c >= 0xe0 && c <= 0xef ? 3
                               : c >= 0xf0 && c <= 0xf4 ? 4
                                                        : 0;
    if (length == 0 || i + length > s.size()) return 0;
    const unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    return length;
}

// A control character (C0, DEL, or C1 U+0080..U+009F) starting at s[i],
// whose character is `length` bytes long; its code point, or -1.
int controlAt(std::string_view s, std::size_t i, std::size_t length) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (length == 1) return c < 0x20 || c == 0x7f ? c : -1;
    if (length == 2 && c == 0xc2) {
        const auto next = static_cast<unsigned char>(s[i + 1]);
        if (next < 0xa0) return next;  // U+0080..U+009F
    }
    return -1;
}

}  // namespace

std::string shown(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = utf8Length(s, i);
        if (length == 0) {
            out += format("\\x%02x", static_cast<unsigned char>(s[i]));
            ++i;
            continue;
        }
        if (const int control = controlAt(s, i, length); control >= 0)
            out += length == 1 ? format("\\x%02x", static_cast<unsigned>(control))
                               : format("\\u%04x", static_cast<unsigned>(control));
        else
            out.append(s.substr(i, length));
        i += length;
    }
    return out;
}

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = utf8Length(s, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (const int control = controlAt(s, i, length); control >= 0) {
            out += format("\\u%04x", static_cast<unsigned>(control));
        } else {
            if (s[i] == '"' || s[i] == '\\') out += '\\';
            out.append(s.substr(i, length));
        }
        i += length;
    }
    return out + "\"";
}

bool isUtf8(std::string_view s) {
    for (std::size_t i = 0, length; i < s.size(); i += length)
        if ((length = utf8Length(s, i)) == 0) return false;
    return true;
}

std::string base64(std::string_view s) {
    constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < s.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, s.size() - i);
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 3; ++k)
            bits = bits << 8 | (k < n ? static_cast<unsigned char>(s[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? kDigits[bits >> (18 - 6 * k) & 0x3f] : '=';
    }
    return out;
}

std::size_t displayWidth(std::string_view s) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        char32_t cp = length == 1 ? c : c & (0x7f >> length);
        for (std::size_t k = 1; k < length && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
        const bool wide = (cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0xa4cf) ||
                          (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
                          (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff00 && cp <= 0xff60) ||
                          (cp >= 0xffe0 && cp <= 0xffe6) || (cp >= 0x20000 && cp <= 0x3fffd);
        width += wide ? 2 : 1;
        i += length;
    }
    return width;
}

std::string padded(const std::string& s, std::size_t width) {
    const std::size_t w = displayWidth(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

}  // namespace velmora::tool
