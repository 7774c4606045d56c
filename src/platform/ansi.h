#pragma once
// Texts as the shell functions take them: in the system's ANSI code page,
// which for our users is 936 (GBK, simplified Chinese). A character that the
// code page cannot hold becomes '?', as the system's own conversion does.

#include <QString>
#include <string>
#include <string_view>

namespace velmora::ansi {

inline constexpr int CodePage = 936;

std::string toAnsi(std::u16string_view text);
std::string toAnsi(const QString& text);

// Bytes that are no valid GBK sequence each become '?'.
std::u16string fromAnsi(std::string_view bytes);
QString toQString(std::string_view bytes);

}  // namespace velmora::ansi
