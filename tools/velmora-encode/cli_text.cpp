#include "cli_text.h"

namespace velmora::tool {

namespace {

// The length of the UTF-8 character at s[i], 0 when the byte there starts none.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    const std::size_t length = (c & 0xe0) == 0xc0   ? 2
                               : (c & 0xf0) == 0xe0 ? 3
                               : (c & 0xf8) == 0xf0 ? 4
                                                    : 0;
    bool valid = length != 0 && i + length <= s.size() && c >= 0xc2 && c <= 0xf4;
    for (std::size_t k = 1; valid && k < length; ++k)
        valid = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
    return valid ? length : 0;
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
            out += format(length == 1 ? "\\x%02x" : "\\u%04x", control);
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
            out += format("\\u%04x", control);
        } else {
            if (s[i] == '"' || s[i] == '\\') out += '\\';
            out.append(s.substr(i, length));
        }
        i += length;
    }
    return out + "\"";
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
