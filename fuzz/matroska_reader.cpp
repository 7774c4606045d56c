// The reading layer under the demuxer (engine/source/source_reader.h) on any bytes:
// read as a file (patches found by offset, then through FFmpeg's file
// protocol with reads of any size and seeks anywhere) and as a pipe (in
// pieces of any size, through the streaming rewrite alone and through a
// real pipe), it must show exactly what the model below shows: the same
// bytes, with each attachments element before the first cluster turned into
// padding of the same length.
//
// Input: the file's bytes, then (taken from the end by FuzzedDataProvider)
// the seed of the reads' and pieces' sizes.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/source/source_file.h"
#include "engine/source/source_reader.h"
#include "fuzz_support.h"

namespace velmora::fuzz {
namespace {

using encoder::BytePatch;
using Bytes = std::vector<std::uint8_t>;

// --- the model ----------------------------------------------------------------
// Matroska's layout as its format documents it, written without the
// layer's code: an EBML header of known size, other elements of known size
// up to the segment, then the segment's children up to its first cluster,
// an element of unknown size or the segment's end. An attachments element
// (1941A469) whose size field is at most five bytes long becomes a Void
// element (EC) whose size field is three bytes longer and holds the same
// size. A reader looks at no more than 256 elements before the segment and
// 256 in it.

struct Element {
    std::uint32_t id = 0;
    std::size_t headerLength = 0, sizeLength = 0;
    std::uint64_t size = 0;
    bool unknownSize = false;
};

// The element header at `at`, when all of it lies in `file`.
bool elementAt(const Bytes& file, std::uint64_t at, Element& e) {
    if (at >= file.size()) return false;
    const std::size_t left = file.size() - static_cast<std::size_t>(at);
    const std::uint8_t* p = file.data() + at;
    std::size_t idLength = 1;
    while (idLength <= 4 && !(p[0] & (0x80 >> (idLength - 1)))) ++idLength;
    if (idLength > 4 || left <= idLength) return false;
    const std::uint8_t first = p[idLength];
    std::size_t sizeLength = 1;
    while (sizeLength <= 8 && !(first & (0x80 >> (sizeLength - 1)))) ++sizeLength;
    if (sizeLength > 8 || left < idLength + sizeLength) return false;
    e.id = 0;
    for (std::size_t i = 0; i < idLength; ++i) e.id = e.id << 8 | p[i];
    const std::uint64_t valueBits = 7 * sizeLength;
    std::uint64_t value = first & (0xFF >> sizeLength);
    for (std::size_t i = 1; i < sizeLength; ++i) value = value << 8 | p[idLength + i];
    e.sizeLength = sizeLength;
    e.headerLength = idLength + sizeLength;
    e.unknownSize = value == (std::uint64_t{1} << valueBits) - 1;
    e.size = value;
    return true;
}

Bytes modelOf(const Bytes& file) {
    Bytes shown = file;
    Element e;
    if (!elementAt(file, 0, e) || e.id != 0x1A45DFA3 || e.unknownSize) return shown;
    std::uint64_t at = e.headerLength + e.size;
    for (int looked = 0;; at += e.headerLength + e.size) {
        if (!elementAt(file, at, e)) return shown;
        if (e.id == 0x18538067) break;
        if (e.unknownSize || ++looked == 256) return shown;
    }
    at += e.headerLength;
    const std::uint64_t end = e.unknownSize ? UINT64_MAX : at + e.size;
    for (int looked = 0; at < end && looked < 256; ++looked, at += e.headerLength + e.size) {
        if (!elementAt(file, at, e) || e.id == 0x1F43B675 || e.unknownSize) break;
        if (e.id != 0x1941A469 || e.sizeLength + 3 > 8) continue;
        const std::size_t fieldLength = e.sizeLength + 3;
        shown[at] = 0xEC;
        const std::uint64_t field = std::uint64_t{1} << (7 * fieldLength) | e.size;
        for (std::size_t i = 0; i < fieldLength; ++i)
            shown[at + 1 + i] = static_cast<std::uint8_t>(field >> (8 * (fieldLength - 1 - i)));
    }
    return shown;
}

// --- the layer's four ways ----------------------------------------------------

Bytes byPatches(const Bytes& file) {
    const std::vector<BytePatch> patches =
        encoder::attachmentsAsVoid([&](std::int64_t offset, std::uint8_t* data, int size) {
            if (offset < 0 || size < 0) fault("a read before the file or of a negative size");
            if (static_cast<std::uint64_t>(offset) >= file.size()) return 0;
            const auto n = std::min<std::size_t>(static_cast<std::size_t>(size),
                                                 file.size() - static_cast<std::size_t>(offset));
            std::memcpy(data, file.data() + offset, n);
            return static_cast<int>(n);
        });
    Bytes shown = file;
    for (const BytePatch& patch : patches) {
        expect(patch.offset >= 0 &&
                   static_cast<std::uint64_t>(patch.offset) + patch.bytes.size() <= file.size(),
               "a patch outside the file");
        std::copy(patch.bytes.begin(), patch.bytes.end(), shown.begin() + patch.offset);
    }
    return shown;
}

// Through StreamingAttachmentHider in pieces of the sizes `next` gives.
Bytes streamed(const Bytes& file, std::minstd_rand& random) {
    encoder::StreamingAttachmentHider hider;
    Bytes shown, held;
    for (std::size_t at = 0; at < file.size();) {
        const std::size_t n = std::min<std::size_t>(1 + random() % 64, file.size() - at);
        held.insert(held.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                    file.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        const std::size_t settled = hider.pass(held.data(), held.size(), false);
        expect(settled <= held.size(), "more settled than given");
        shown.insert(shown.end(), held.begin(),
                     held.begin() + static_cast<std::ptrdiff_t>(settled));
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(settled));
        expect(held.size() <= 11, "the hider held back more than a header");
    }
    expect(hider.pass(held.data(), held.size(), true) == held.size(), "bytes unsettled at the end");
    shown.insert(shown.end(), held.begin(), held.end());
    return shown;
}

// Reads of random sizes, some after seeks to random places, through the
// layer over our own reader of the file; each checked against `model`.
void readAsFile(const Scratch& scratch, const Bytes& file, const Bytes& model,
                std::minstd_rand& random) {
    const std::string path = scratch.put("source.mkv", file.data(), file.size());
    auto source = std::make_unique<encoder::SourceFile>();
    const int opened = source->open(path, {});
    expect(opened == 0 && source->regular(), "the written file could not be opened");
    if (opened != 0) return;
    int error = 0;
    AVIOContext* pb = encoder::openSourceFileReader(std::move(source), error);
    expect(pb != nullptr, "the file's layer could not be made: " + std::to_string(error));
    if (!pb) return;
    expect(avio_size(pb) == static_cast<std::int64_t>(file.size()),
           "the layer's size is not the file's");
    Bytes piece(70000);
    for (int step = 0; step < 8; ++step) {
        if (step > 0) {
            // (Past the end FFmpeg's reading forward, in place of a seek, fails.)
            const auto to = static_cast<std::int64_t>(random() % (file.size() + 1));
            const std::int64_t at = avio_seek(pb, to, SEEK_SET);
            expect(at == to, "a seek in the file failed: " + std::to_string(at));
        }
        const std::int64_t from = avio_tell(pb);
        const int size = static_cast<int>(1 + random() % piece.size());
        const int got = avio_read(pb, piece.data(), size);
        const std::int64_t expected =
            std::clamp<std::int64_t>(static_cast<std::int64_t>(file.size()) - from, 0, size);
        if (expected == 0) {
            expect(got == AVERROR_EOF, "a read at the end did not say so");
            continue;
        }
        expect(got == expected, "a read of the file came short");
        expect(std::equal(piece.begin(), piece.begin() + got, model.begin() + from),
               "the file's layer shows other bytes than the model");
    }
    encoder::closeCustomReader(pb);
}

// Through a real pipe, written in pieces the layer's reads take one at a
// time (each written once the one before has been read).
Bytes readAsPipe(const Bytes& file, std::minstd_rand& random) {
    int fds[2];
    expect(::pipe(fds) == 0, "no pipe");
    std::vector<std::size_t> pieces;
    for (std::size_t left = file.size(); left > 0;) {
        const std::size_t n =
            pieces.size() == 15 ? left : std::min<std::size_t>(1 + random() % 300, left);
        pieces.push_back(n);
        left -= n;
    }
    std::thread writer([&] {
        std::size_t at = 0;
        for (std::size_t n : pieces) {
            for (int queued = 1; queued > 0 && ::ioctl(fds[1], FIONREAD, &queued) == 0;)
                std::this_thread::yield();
            expect(::write(fds[1], file.data() + at, n) == static_cast<ssize_t>(n),
                   "a write to the pipe failed");
            at += n;
        }
        ::close(fds[1]);
    });
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "pipe", 0);
    AVIOContext* pb =
        encoder::openAttachmentHidingStream("pipe:" + std::to_string(fds[0]), {}, options);
    av_dict_free(&options);
    expect(pb != nullptr, "the pipe's layer did not open");
    Bytes shown, piece(40000);
    for (int got;
         (got = avio_read(pb, piece.data(), static_cast<int>(1 + random() % piece.size()))) > 0;)
        shown.insert(shown.end(), piece.begin(), piece.begin() + got);
    encoder::closeCustomReader(pb);
    writer.join();
    ::close(fds[0]);
    return shown;
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora::fuzz;
    static const Scratch scratch;
    FuzzedDataProvider input(data, size);
    std::minstd_rand random(input.ConsumeIntegral<std::uint32_t>());
    const Bytes file = input.ConsumeRemainingBytes<std::uint8_t>();
    const Bytes model = modelOf(file);

    expect(byPatches(file) == model, "the file's patches differ from the model");
    expect(streamed(file, random) == model, "the streamed rewrite differs from the model");
    readAsFile(scratch, file, model, random);
    expect(readAsPipe(file, random) == model, "the pipe's layer differs from the model");
    return 0;
}
