#pragma once
// The catalogues' texts as Qt strings: the window's (texts/window_texts.h)
// are UTF-16 literals, the encoder's (texts/encoder_texts.h) UTF-8, as are
// the strings it makes.

#include <QString>
#include <string>

namespace velmora {

inline QString qs(const char16_t* text) {
    return QString::fromUtf16(text);
}

inline QString qs(const char* utf8) {
    return QString::fromUtf8(utf8);
}

inline QString qs(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

}  // namespace velmora
