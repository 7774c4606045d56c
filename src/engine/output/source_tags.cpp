#include "engine/output/source_tags.h"

#include <string_view>

namespace velmora::encoder {

namespace {

// The format allows 65,535 bytes a text, but FFmpeg's demuxer (and so every
// player built on it) keeps only the first 1,023 and cuts a character in two
// there: a text is cut at a character within that.
constexpr std::size_t kReadableTextBytes = 1023;

// Whether `s` is well-formed UTF-8 (no overlong forms, no surrogates).
bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
        const unsigned char c = byte(i);
        int more = 0;
        unsigned lowest = 0, value = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1, lowest = 0x80, value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, lowest = 0x800, value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, lowest = 0x10000, value = c & 0x07;
        } else {
            return false;
        }
        if (i + more >= s.size()) return false;
        for (int k = 1; k <= more; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            value = (value << 6) | (byte(i + k) & 0x3F);
        }
        if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

// Each field's keys in FFmpeg's names (any case), the first that says something wins.
struct Field {
    std::string* text;
    const char* keys[2];
};

const char* find(const AVDictionary* tags, const Field& field) {
    for (const char* key : field.keys) {
        if (!key) break;
        const AVDictionaryEntry* e = av_dict_get(tags, key, nullptr, 0);
        if (e && e->value && *e->value) return e->value;
    }
    return nullptr;
}

}  // namespace

MediaMetadata fileTags(const MediaMetadata& given, const AVFormatContext& source,
                       std::initializer_list<int> streams) {
    MediaMetadata tags = given;
    const Field fields[] = {{&tags.title, {"title", nullptr}},
                            {&tags.author, {"artist", "author"}},
                            {&tags.copyright, {"copyright", nullptr}},
                            {&tags.comment, {"comment", "description"}}};
    for (const Field& field : fields) {
        if (!field.text->empty()) continue;
        const char* found = find(source.metadata, field);
        for (int index : streams) {
            if (found) break;
            if (index >= 0 && index < static_cast<int>(source.nb_streams))
                found = find(source.streams[index]->metadata, field);
        }
        if (found && validUtf8(found)) *field.text = found;
    }
    for (std::string* field : {&tags.title, &tags.author, &tags.copyright, &tags.comment})
        field->resize(clipUtf8(*field, kReadableTextBytes).size());
    return tags;
}

}  // namespace velmora::encoder
