// The reading layer's rewrite of a Matroska file's attachments as padding,
// on hand-made files: which elements it finds and the bytes it puts there.
#include "engine/source_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace velmora::encoder {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An element with a size field `sizeLength` bytes long (0: unknown size).
Bytes element(const Bytes& id, const Bytes& payload, int sizeLength = 1) {
    Bytes out = id;
    if (sizeLength == 0) {
        out.insert(out.end(), {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    } else {
        const std::uint64_t field = std::uint64_t{1} << (7 * sizeLength) | payload.size();
        for (int i = sizeLength - 1; i >= 0; --i)
            out.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kEbml{0x1A, 0x45, 0xDF, 0xA3}, kSegment{0x18, 0x53, 0x80, 0x67},
    kInfo{0x15, 0x49, 0xA9, 0x66}, kAttachments{0x19, 0x41, 0xA4, 0x69},
    kCluster{0x1F, 0x43, 0xB6, 0x75};
const Bytes kFont(100, 0xAB);

// EBML header, then a segment of Info, the attachments and a cluster, or
// with the attachments last.
Bytes matroska(int attachmentsSizeLength, int segmentSizeLength = 8, bool attachmentsLast = false) {
    const Bytes attachments = element(kAttachments, kFont, attachmentsSizeLength);
    const Bytes cluster = element(kCluster, Bytes(7, 0x22));
    const Bytes children = element(kInfo, Bytes(5, 0x11)) +
                           (attachmentsLast ? cluster + attachments : attachments + cluster);
    return element(kEbml, {0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'}) +
           element(kSegment, children, segmentSizeLength);
}

std::vector<BytePatch> patchesOf(const Bytes& file) {
    return attachmentsAsVoid([&](std::int64_t offset, std::uint8_t* data, int size) {
        if (offset >= static_cast<std::int64_t>(file.size())) return 0;
        const int got = std::min<int>(size, static_cast<int>(file.size() - offset));
        std::memcpy(data, file.data() + offset, static_cast<std::size_t>(got));
        return got;
    });
}

std::size_t attachmentsAt(const Bytes& file) {
    return static_cast<std::size_t>(
        std::search(file.begin(), file.end(), kAttachments.begin(), kAttachments.end()) -
        file.begin());
}

// The header becomes a Void (0xEC) whose size field, three bytes longer,
// holds the same 100: the element keeps its length. Where that field would
// be longer than EBML's eight bytes, or the header is not all there, the
// file stays as it is; the clusters, many and large, are not walked.
TEST(SourceReader, AttachmentsBecomePaddingOfTheSameLength) {
    struct Case {
        const char* name;
        Bytes file;
        Bytes expected;  // empty: nothing rewritten
    };
    const Bytes oneByte = matroska(1);
    const Case cases[] = {
        {"size in 1 byte", oneByte, {0xEC, 0x10, 0x00, 0x00, 0x64}},
        {"size in 2 bytes", matroska(2), {0xEC, 0x08, 0x00, 0x00, 0x00, 0x64}},
        {"size in 3 bytes", matroska(3), {0xEC, 0x04, 0x00, 0x00, 0x00, 0x00, 0x64}},
        {"size in 4 bytes", matroska(4), {0xEC, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64}},
        {"size in 5 bytes", matroska(5), {0xEC, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64}},
        {"size in 6 bytes", matroska(6), {}},
        {"segment of unknown size",
         matroska(4, 0),
         {0xEC, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64}},
        {"cut inside the header",
         Bytes(oneByte.begin(), oneByte.begin() + attachmentsAt(oneByte) + 4),
         {}},
        {"cut inside the font",
         Bytes(oneByte.begin(), oneByte.begin() + attachmentsAt(oneByte) + 50),
         {0xEC, 0x10, 0x00, 0x00, 0x64}},
        {"after the first cluster", matroska(1, 8, true), {}},
        {"not Matroska", Bytes{'R', 'I', 'F', 'F'} + Bytes(oneByte.begin() + 4, oneByte.end()), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<BytePatch> patches = patchesOf(c.file);
        if (c.expected.empty()) {
            EXPECT_TRUE(patches.empty());
            continue;
        }
        ASSERT_EQ(patches.size(), 1u);
        EXPECT_EQ(patches[0].offset, static_cast<std::int64_t>(attachmentsAt(c.file)));
        EXPECT_EQ(patches[0].bytes, c.expected);
    }
}

}  // namespace
}  // namespace velmora::encoder
