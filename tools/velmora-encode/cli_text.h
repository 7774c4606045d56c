#pragma once
// How velmora-encode's text shows: printf-style lines of any length
// (patterns checked as the tool is compiled), names made safe for a terminal
// or a JSON string, and column widths on a terminal.

#include <cstddef>
#include <string>
#include <string_view>

#include "texts/format.h"

namespace velmora::tool {

using encoder::text::format;

// A name (or a message holding one) as it may go to a terminal: a name can
// hold any byte, and control characters would move the cursor, retitle the
// window or clear it. They, and bytes that are not UTF-8, show escaped
// (\x1b, \u009b, \xff).
std::string shown(std::string_view s);

// A JSON string; bytes that are not strict UTF-8 (file names may hold any,
// an encoded surrogate or an overlong form too) become U+FFFD so the line
// stays valid JSON. Every control character is escaped, DEL and C1 too, so
// the line is as safe on a terminal as the rest.
std::string jsonString(std::string_view s);

// True when every byte of `s` belongs to a character of strict UTF-8; then
// jsonString() carries it exactly.
bool isUtf8(std::string_view s);

// `s` in base64 (RFC 4648, padded), for bytes a JSON string cannot carry.
std::string base64(std::string_view s);

// Columns a terminal gives the text: East Asian wide characters take two.
std::size_t displayWidth(std::string_view s);

// `s` filled with spaces to `width` columns.
std::string padded(const std::string& s, std::size_t width);

}  // namespace velmora::tool
