// The reading layer's rewrite of a Matroska file's attachments as padding,
// on hand-made files: which elements it finds and the bytes it puts there,
// read as a file or as a stream passes.
#include "engine/source/source_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

Bytes patched(Bytes file, const std::vector<BytePatch>& patches) {
    for (const BytePatch& patch : patches)
        std::copy(patch.bytes.begin(), patch.bytes.end(), file.begin() + patch.offset);
    return file;
}

// `file` through the streaming rewrite, in reads of `sizes` bytes in turn.
Bytes streamed(const Bytes& file, const std::vector<std::size_t>& sizes) {
    StreamingAttachmentHider hider;
    Bytes out, held;
    for (std::size_t at = 0, i = 0; at < file.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], file.size() - at);
        held.insert(held.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                    file.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        const std::size_t settled = hider.pass(held.data(), held.size(), false);
        out.insert(out.end(), held.begin(), held.begin() + static_cast<std::ptrdiff_t>(settled));
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(settled));
        EXPECT_LT(held.size(), 12u) << "held back more than a header";
    }
    EXPECT_EQ(hider.pass(held.data(), held.size(), true), held.size());
    return out + held;
}

// `file` written into a pipe and read back through the layer, as the
// engine opens a pipe: without blocking.
Bytes throughPipe(const Bytes& file) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const bool written =
        ::write(fds[1], file.data(), file.size()) == static_cast<ssize_t>(file.size());
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "pipe", 0);
    AVIOContext* pb = openAttachmentHidingStream("pipe:" + std::to_string(fds[0]), {}, opts);
    av_dict_free(&opts);
    Bytes out;
    std::uint8_t piece[64];
    for (int got; pb && written && (got = avio_read(pb, piece, sizeof piece)) > 0;)
        out.insert(out.end(), piece, piece + got);
    closeCustomReader(pb);
    ::close(fds[0]);
    return out;
}

std::size_t attachmentsAt(const Bytes& file) {
    return static_cast<std::size_t>(
        std::search(file.begin(), file.end(), kAttachments.begin(), kAttachments.end()) -
        file.begin());
}

// The header becomes a Void (0xEC) whose size field, three bytes longer,
// holds the same 100: the element keeps its length. Where that field would
// be longer than EBML's eight bytes, or the header is not all there, the
// file stays as it is; the clusters, many and large, are not walked. A
// stream, in reads of any size (a header split across two of them), and a
// pipe come out as the file would.
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
        const Bytes shown = patched(c.file, patches);
        for (const std::vector<std::size_t>& sizes :
             std::vector<std::vector<std::size_t>>{{1}, {2}, {3, 1, 7}, {5, 13, 2}, {4096}})
            EXPECT_EQ(streamed(c.file, sizes), shown) << "in reads of " << sizes[0] << " bytes";
        EXPECT_EQ(throughPipe(c.file), shown);
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
