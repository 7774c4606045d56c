// Our RealMedia writer (engine/rm) on any sequence of streams and packets:
// picture and sound streams of every codec it takes, packets of any size
// (frames split in two, 14.4 frames packed, empty pictures), times in any
// time base, key or not, the file finished or abandoned half way. What it
// accepts must come back whole from two readers: FFmpeg's demuxer (in
// process) and the tests' own parse of the chunks (tests/engine/rm): every
// packet, its bytes, its time and its key flag; the header's counts, the
// index pointing at real packets. What it refuses must be what the format
// cannot carry, said with a message.
//
// Input (FuzzedDataProvider): the writer's options, the streams, then the
// packets, each a few bytes; the packets' bytes are made up, not taken.
#include "engine/rm/rm_writer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"
#include "fuzz_support.h"
#include "tests/engine/rm/rm_file.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace velmora::fuzz {
namespace {

using namespace encoder;
using Bytes = std::vector<std::uint8_t>;

enum class Kind { Video, Audio144, Ac3 };

struct StreamPlan {
    Kind kind = Kind::Video;
    CodecParametersPtr params;
    int num = 1, den = 25;
    std::int64_t frameTicks = 1;  // a frame's length in the time base, about
};

// What a reader must find of each packet given: a picture, an AC-3 frame or
// a 14.4 frame (20 bytes; the writer packs several to a packet).
struct Unit {
    std::int64_t ms = 0;  // in the file
    bool key = true;
    Bytes bytes;
};

constexpr std::int64_t kMaxTime = std::int64_t{1} << 40;  // in a stream's time base
constexpr int kHeader = 12;                               // a packet's header
constexpr int k144Frame = 20;

// Milliseconds of `ts` (num/den seconds each), nearest, halves away from zero.
std::int64_t msOf(std::int64_t ts, int num, int den) {
    const __int128 x = static_cast<__int128>(ts) * num * 1000;
    const __int128 half = x >= 0 ? den : -den;
    return static_cast<std::int64_t>((2 * x + half) / (2 * static_cast<__int128>(den)));
}

// The first tick of `num`/`den` seconds at or after `ms`.
std::int64_t ticksAt(std::int64_t ms, int num, int den) {
    const __int128 a = static_cast<__int128>(ms) * den, b = static_cast<__int128>(num) * 1000;
    return static_cast<std::int64_t>(a / b + (a % b > 0));
}

StreamPlan makeStream(FuzzedDataProvider& in) {
    StreamPlan s;
    s.kind = static_cast<Kind>(in.ConsumeIntegralInRange(0, 2));
    s.params = makeCodecParameters();
    AVCodecParameters& p = *s.params;
    switch (s.kind) {
        case Kind::Video: {
            p.codec_type = AVMEDIA_TYPE_VIDEO;
            p.codec_id = in.ConsumeBool() ? AV_CODEC_ID_RV20 : AV_CODEC_ID_RV10;
            p.width = in.ConsumeIntegralInRange(1, 4096);
            p.height = in.ConsumeIntegralInRange(1, 4096);
            p.bit_rate = in.ConsumeIntegralInRange(0, 2'000'000);
            if (in.ConsumeBool()) {
                p.extradata_size = in.ConsumeIntegralInRange(8, 16);
                p.extradata = static_cast<std::uint8_t*>(av_mallocz(
                    static_cast<std::size_t>(p.extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE));
            }
            const int rates[][2] = {{1, 25}, {1, 10}, {1, 1}, {1001, 30000}, {1, 60}, {3, 2}};
            const auto& r = rates[in.ConsumeIntegralInRange(0, 5)];
            s.num = r[0];
            s.den = r[1];
            break;
        }
        case Kind::Audio144:
            p.codec_type = AVMEDIA_TYPE_AUDIO;
            p.codec_id = AV_CODEC_ID_RA_144;
            p.sample_rate = 8000;
            av_channel_layout_default(&p.ch_layout, 1);
            s.num = 1;
            s.den = in.ConsumeBool() ? 8000 : 1000;
            s.frameTicks = s.den / 50;
            break;
        case Kind::Ac3: {
            p.codec_type = AVMEDIA_TYPE_AUDIO;
            p.codec_id = AV_CODEC_ID_AC3;
            const int rates[] = {48000, 44100, 32000, 24000, 22050, 16000, 11025, 8000};
            p.sample_rate = rates[in.ConsumeIntegralInRange(0, 7)];
            av_channel_layout_default(&p.ch_layout, in.ConsumeIntegralInRange(1, 6));
            p.bit_rate = in.ConsumeIntegralInRange(32, 640) * 1000;
            s.num = 1;
            s.den = in.ConsumeBool() ? p.sample_rate : 1000;
            s.frameTicks = std::max<std::int64_t>(1, 1536LL * s.den / p.sample_rate);
            break;
        }
    }
    return s;
}

// --- what the two readers find ------------------------------------------------

// FFmpeg's demuxer, packet by packet, as it comes (no parser joining or
// splitting frames): per stream, the packets' bytes, times and key flags.
std::map<int, std::vector<Unit>> readWithFfmpeg(const std::string& path) {
    std::map<int, std::vector<Unit>> read;
    AVFormatContext* raw = avformat_alloc_context();
    raw->flags |= AVFMT_FLAG_NOPARSE;
    expect(avformat_open_input(&raw, path.c_str(), nullptr, nullptr) == 0,
           "FFmpeg cannot open the file");
    InputContextPtr input(raw);
    PacketPtr packet = makePacket();
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        expect(!(packet->flags & AV_PKT_FLAG_CORRUPT), "FFmpeg found a packet damaged");
        read[packet->stream_index].push_back({packet->pts, (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                              Bytes(packet->data, packet->data + packet->size)});
        av_packet_unref(packet.get());
    }
    expect(input->nb_streams > 0, "FFmpeg finds no stream");
    return read;
}

// A picture's packets, as the tests' parse gives them, joined again by the
// fragment headers in front of each (RealVideo's layout): the picture's
// bytes, or empty when the headers do not add up.
Bytes joinFragments(const std::vector<const rmtest::Packet*>& fragments) {
    Bytes frame;
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        const Bytes& p = fragments[i]->payload;
        std::size_t at = 2;
        const auto number = [&](std::uint32_t& v) {
            if (at + 2 > p.size()) return false;
            v = rmtest::be16(&p[at]) & 0x7FFF;
            if (v >= 0x4000) {
                v -= 0x4000;
                at += 2;
                return true;
            }
            if (at + 4 > p.size()) return false;
            v = rmtest::be32(&p[at]) & 0x3FFFFFFF;
            at += 4;
            return true;
        };
        if (p.size() < 2) return {};
        const int type = p[0] >> 6;
        std::uint32_t offset = 0;
        if (type == 1) {
            if (fragments.size() != 1) return {};
        } else if (!number(total) || !number(offset) || ++at > p.size()) {
            return {};
        }
        if (type == 0 && (i != 0 || offset != 0)) return {};
        if (type == 2 && (i + 1 != fragments.size() || offset != p.size() - at)) return {};
        frame.insert(frame.end(), p.begin() + static_cast<std::ptrdiff_t>(at), p.end());
    }
    return fragments.size() > 1 && frame.size() != total ? Bytes{} : frame;
}

void checkFile(const std::string& path, const std::vector<StreamPlan>& streams,
               const std::vector<std::vector<Unit>>& sent, bool finished, const std::string& title,
               std::size_t packed144) {
    const rmtest::ParsedFile f = rmtest::parseFile(path);
    expect(f.error.empty(), "the tests' parse fails: " + f.error);
    expect(f.numStreams == streams.size() && f.streams.size() == streams.size(),
           "the header's streams are not the streams given");
    expect(f.numPackets == f.packets.size() && f.dataPacketCount == f.packets.size(),
           "the header's packet counts are not the packets");
    expect(f.title == title, "the title changed");
    // The packets fill the data chunk, up to the index after it (through
    // the header's own, which PROP points at) or the end.
    const std::uint64_t dataEnd =
        f.packets.empty() ? f.dataOffset + 18 : f.packets.back().offset + f.packets.back().length;
    std::uint64_t indexStart = f.bytes.size();
    for (const rmtest::IndexChunkInfo& chunk : f.indexChain)
        if (chunk.offset > f.dataOffset)
            indexStart = std::min<std::uint64_t>(indexStart, chunk.offset);
    expect(dataEnd == indexStart && f.dataChunkSize == dataEnd - f.dataOffset,
           "the packets do not fill the data chunk up to the index (or the end)");
    expect(finished == (indexStart < f.bytes.size()), "an index where none belongs, or none");

    // Each stream's packets, in the order of the file.
    std::vector<std::vector<const rmtest::Packet*>> of(streams.size());
    std::uint32_t lastMs = 0;
    for (const rmtest::Packet& p : f.packets) {
        expect(p.stream < streams.size(), "a packet of no stream");
        expect(p.length <= f.streams[p.stream].maxPacketSize && p.length <= f.maxPacketSize,
               "a packet larger than its header says packets are");
        of[p.stream].push_back(&p);
        lastMs = std::max(lastMs, p.timestampMs);
    }
    expect(f.durationMs >= lastMs, "the file's length ends before its last packet");

    const std::map<int, std::vector<Unit>> ffmpeg = readWithFfmpeg(path);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::vector<Unit>& units = sent[i];
        const auto found = ffmpeg.find(static_cast<int>(i));
        const std::vector<Unit> none;
        const std::vector<Unit>& demuxed = found == ffmpeg.end() ? none : found->second;
        const std::string which = "stream " + std::to_string(i) + ": ";
        std::vector<Unit> parsed;  // the tests' parse, in the same units
        if (streams[i].kind == Kind::Video) {
            for (std::size_t at = 0; at < of[i].size();) {
                std::size_t n = (of[i][at]->payload.at(0) >> 6) == 0 ? 2 : 1;
                n = std::min(n, of[i].size() - at);
                const std::vector<const rmtest::Packet*> fragments(of[i].begin() + at,
                                                                   of[i].begin() + at + n);
                for (const rmtest::Packet* p : fragments)
                    expect(p->timestampMs == fragments[0]->timestampMs &&
                               p->flags == fragments[0]->flags,
                           which + "a picture's fragments differ in time or key");
                parsed.push_back({fragments[0]->timestampMs, (fragments[0]->flags & 2) != 0,
                                  joinFragments(fragments)});
                at += n;
            }
            expect(demuxed.size() == units.size(),
                   which + "FFmpeg reads another count of pictures");
            for (std::size_t k = 0; k < demuxed.size(); ++k) {
                const Bytes& d = demuxed[k].bytes;
                const Bytes& u = units[k].bytes;
                expect(demuxed[k].ms == units[k].ms && demuxed[k].key == units[k].key &&
                           d.size() >= u.size() &&
                           std::equal(u.begin(), u.end(),
                                      d.end() - static_cast<std::ptrdiff_t>(u.size())),
                       which + "FFmpeg reads picture " + std::to_string(k) + " otherwise");
            }
        } else if (streams[i].kind == Kind::Ac3) {
            for (const rmtest::Packet* p : of[i]) {
                Bytes bytes = p->payload;
                for (std::size_t k = 0; k + 1 < bytes.size(); k += 2)
                    std::swap(bytes[k], bytes[k + 1]);
                parsed.push_back({p->timestampMs, (p->flags & 2) != 0, bytes});
            }
            expect(demuxed.size() == units.size(),
                   which + "FFmpeg reads another count of AC-3 frames");
            for (std::size_t k = 0; k < demuxed.size(); ++k)
                expect(demuxed[k].ms == units[k].ms && demuxed[k].key &&
                           demuxed[k].bytes == units[k].bytes,
                       which + "FFmpeg reads AC-3 frame " + std::to_string(k) + " otherwise");
        } else {
            // 14.4: a packet holds whole frames, and its time is its first frame's.
            std::vector<Unit> frames;
            for (const auto& [ms, key, bytes] : demuxed) {
                expect(bytes.size() % k144Frame == 0 && !bytes.empty() && key,
                       which + "FFmpeg reads a 14.4 packet of part frames or not key");
                for (std::size_t k = 0; k < bytes.size(); k += k144Frame)
                    frames.push_back({k == 0 ? ms : -1, true,
                                      Bytes(bytes.begin() + k, bytes.begin() + k + k144Frame)});
            }
            for (const rmtest::Packet* p : of[i]) {
                expect(p->payload.size() % k144Frame == 0 && !p->payload.empty() &&
                           p->payload.size() <= packed144 * k144Frame,
                       which + "a 14.4 packet of part frames, or of more than it may pack");
                for (std::size_t k = 0; k < p->payload.size(); k += k144Frame)
                    parsed.push_back(
                        {k == 0 ? std::int64_t{p->timestampMs} : -1, (p->flags & 2) != 0,
                         Bytes(p->payload.begin() + k, p->payload.begin() + k + k144Frame)});
            }
            expect(frames.size() == units.size(),
                   which + "FFmpeg reads another count of 14.4 frames");
            for (std::size_t k = 0; k < frames.size(); ++k)
                expect((frames[k].ms < 0 || frames[k].ms == units[k].ms) &&
                           frames[k].bytes == units[k].bytes,
                       which + "FFmpeg reads 14.4 frame " + std::to_string(k) + " otherwise");
        }
        expect(parsed.size() == units.size(), which + "the parse finds another count of units");
        for (std::size_t k = 0; k < parsed.size(); ++k)
            if (parsed[k].ms < 0) parsed[k].ms = units[k].ms;  // a 14.4 frame after the first
        for (std::size_t k = 0; k < parsed.size(); ++k)
            expect(parsed[k].ms == units[k].ms && parsed[k].key == units[k].key &&
                       parsed[k].bytes == units[k].bytes,
                   which + "the parse reads unit " + std::to_string(k) + " otherwise");
    }

    if (!finished) return;
    // Every index entry points at a packet of its stream, at its time and
    // number; each picture's key frame is there.
    std::map<std::uint64_t, std::size_t> packetAt;
    for (std::size_t n = 0; n < f.packets.size(); ++n) packetAt[f.packets[n].offset] = n;
    const auto pointsAtPacket = [&](const rmtest::IndexRecord& r, std::size_t stream) {
        const auto at = packetAt.find(r.offset);
        return at != packetAt.end() && at->second == r.packetNumber &&
               f.packets[at->second].stream == stream &&
               f.packets[at->second].timestampMs == r.timestampMs;
    };
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const auto records = f.index.find(static_cast<std::uint16_t>(i));
        const std::size_t entries = records == f.index.end() ? 0 : records->second.size();
        for (std::size_t k = 0; k < entries; ++k)
            expect(pointsAtPacket(records->second[k], i),
                   "an index entry points at no packet of its stream");
        if (streams[i].kind == Kind::Video) {
            std::size_t keys = 0;
            for (const rmtest::Packet* p : of[i])
                keys += (p->flags & 2) && (p->payload[0] >> 6) != 2;
            expect(entries == keys, "the index misses a key frame or holds another");
        } else {
            expect(of[i].empty() || entries > 0, "a sound's index is empty");
        }
    }
    // The header's index: the seek stream's (the first picture's, else the
    // first stream's) entries, or the first packet before there is one.
    std::size_t seekStream = 0;
    while (seekStream < streams.size() && streams[seekStream].kind != Kind::Video) ++seekStream;
    if (seekStream == streams.size()) seekStream = 0;
    for (const rmtest::IndexRecord& r : f.headerIndex) {
        const auto at = packetAt.find(r.offset);
        expect(r.offset == f.dataOffset + 18 ||
                   (at != packetAt.end() && f.packets[at->second].stream == seekStream),
               "an entry of the header's index points at no packet of the seek stream");
    }
}

void writeAndReadBack(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    FuzzedDataProvider in(data, size);

    RealMediaWriterOptions options;
    options.maxPacketSize = in.ConsumeIntegralInRange<std::size_t>(32, 70000);
    options.audio144FramesPerPacket = in.ConsumeIntegralInRange(0, 40);
    // (A checkpoint at every packet, which no job asks for, would spend the
    // run rewriting headers.)
    options.checkpointMs = in.ConsumeIntegralInRange<std::uint32_t>(200, 10000);
    options.checkpointBytes = in.ConsumeIntegralInRange<std::uint64_t>(1 << 14, 1 << 21);
    options.audioIndexIntervalMs = in.ConsumeIntegralInRange<std::uint32_t>(0, 5000);
    const std::size_t packed144 = static_cast<std::size_t>(
        std::clamp(options.audio144FramesPerPacket, 1, (0xFFFF - kHeader) / k144Frame));
    const bool finish = in.ConsumeBool();
    // Jumps ahead of ten minutes, or in one input of ten of any length (past
    // the 32 bits of a file's times): after a jump past a day, every
    // checkpoint walks a day of the rate meter's slots.
    const std::int64_t jumpMs = in.ConsumeProbability<float>() < 0.1f ? kMaxTime : 600'000;
    MediaMetadata metadata;
    metadata.title = in.ConsumeRandomLengthString(64);

    auto writer = makeRealMediaWriter(options);
    std::vector<StreamPlan> streams;
    const int count = in.ConsumeIntegralInRange(1, 4);
    for (int i = 0; i < count; ++i) {
        StreamPlan s = makeStream(in);
        int index = -1;
        const Status added = writer->addStream(*s.params, s.num, s.den, index);
        expect(bool(added) && index == static_cast<int>(streams.size()),
               "a stream the format carries was refused: " + added.message());
        streams.push_back(std::move(s));
    }
    const std::string path = scratch.file("out.rm");
    const Status begun = writer->begin(path, metadata);
    expect(bool(begun), "begin failed: " + begun.message());

    std::vector<std::vector<Unit>> sent(streams.size());
    // Times as encoders and the interleaver give them: a stream's never go
    // back (they may start before zero, and jump ahead), and the streams
    // come in time order, give or take half a second.
    std::int64_t latestMs = -kMaxTime;
    std::vector<std::int64_t> clock(streams.size()), next;
    for (std::size_t i = 0; i < streams.size(); ++i)
        next.push_back(in.ConsumeIntegralInRange<std::int64_t>(-200, 200));
    std::int64_t originMs = 1;  // unset
    std::minstd_rand bytes(static_cast<std::uint32_t>(size));
    std::size_t written = 0;
    bool refused = false;
    while (in.remaining_bytes() > 0 && written < (std::size_t{1} << 20) && !refused) {
        const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, streams.size() - 1);
        const StreamPlan& s = streams[i];
        // After the frames before it, or a few frames later.
        clock[i] = std::min(next[i] + in.ConsumeIntegralInRange(0, 3) * s.frameTicks, kMaxTime);
        if (in.ConsumeProbability<float>() < 0.005f)
            clock[i] =
                std::min(clock[i] + ticksAt(in.ConsumeIntegralInRange<std::int64_t>(0, jumpMs),
                                            s.num, s.den),
                         kMaxTime);
        clock[i] = std::max(clock[i], ticksAt(latestMs - 500, s.num, s.den));
        latestMs = std::max(latestMs, msOf(clock[i], s.num, s.den));
        const bool stamped = in.ConsumeBool();  // in pts, else only in dts
        const std::int64_t duration = in.ConsumeIntegralInRange<std::int64_t>(0, 100);
        const bool key = in.ConsumeBool();
        int bytesOf = 0;
        switch (s.kind) {
            case Kind::Video:
                // Now and then a picture too large for one packet, or two.
                bytesOf = in.ConsumeProbability<float>() < 0.9f
                              ? in.ConsumeIntegralInRange(0, 3000)
                              : in.ConsumeIntegralInRange(0, 140000);
                break;
            case Kind::Audio144:
                bytesOf = k144Frame * in.ConsumeIntegralInRange(0, 12) +
                          (in.ConsumeProbability<float>() < 0.05f);
                break;
            case Kind::Ac3:
                bytesOf = 2 * in.ConsumeIntegralInRange(1, in.ConsumeBool() ? 2000 : 34000);
                break;
        }
        PacketPtr packet = makePacket();
        if (bytesOf > 0) {
            expect(av_new_packet(packet.get(), bytesOf) == 0, "out of memory");
            for (int k = 0; k < bytesOf; ++k) packet->data[k] = static_cast<std::uint8_t>(bytes());
        }
        (stamped ? packet->pts : packet->dts) = clock[i];
        packet->duration = duration;
        if (key) packet->flags |= AV_PKT_FLAG_KEY;
        if (originMs > 0) originMs = std::min<std::int64_t>(0, msOf(clock[i], s.num, s.den));
        const auto fileMs = [&](std::int64_t ts) {
            return std::clamp<std::int64_t>(msOf(ts, s.num, s.den) - originMs, 0, 0xFFFFFFFF);
        };

        // What the format cannot carry must be refused, all else taken.
        const std::size_t size = static_cast<std::size_t>(bytesOf);
        // (A picture goes in two packets at most, each with its headers.)
        const bool fits = s.kind == Kind::Video      ? size <= 2 * (0xFFFF - kHeader - 11)
                          : s.kind == Kind::Audio144 ? size % k144Frame == 0
                                                     : size + kHeader <= 0xFFFF;
        const Status st = writer->writePacket(static_cast<int>(i), *packet);
        expect(bool(st) == fits, fits ? "a packet the format carries was refused: " + st.message()
                                      : "a packet the format cannot carry was taken");
        if (!st) {
            expect(!st.message().empty(), "a refusal without a message");
            refused = true;
            break;
        }
        written += size;
        const auto frames = s.kind == Kind::Audio144 ? size / k144Frame : 1;
        next[i] = clock[i] + static_cast<std::int64_t>(frames) * s.frameTicks;
        if (s.kind == Kind::Audio144) {
            for (std::size_t k = 0; k < size; k += k144Frame)
                sent[i].push_back(
                    {std::min<std::int64_t>(
                         fileMs(clock[i]) + static_cast<std::int64_t>(k / k144Frame) * 20,
                         0xFFFFFFFF),
                     true, Bytes(packet->data + k, packet->data + k + k144Frame)});
        } else if (size > 0) {
            sent[i].push_back({fileMs(clock[i]),
                               s.kind == Kind::Ac3 || (packet->flags & AV_PKT_FLAG_KEY),
                               Bytes(packet->data, packet->data + size)});
        }
    }

    if (refused) {
        const Status finished = writer->finish();
        expect(!finished && !finished.message().empty(), "finish after a refusal reports success");
        return;
    }
    if (finish) {
        const Status finished = writer->finish();
        expect(bool(finished), "finish failed: " + finished.message());
    }
    const std::int64_t bytesWritten = writer->bytesWritten();
    writer.reset();  // abandoned: the writer leaves the file readable
    expect(static_cast<std::int64_t>(std::filesystem::file_size(path)) >= bytesWritten,
           "the file is shorter than the bytes written");
    checkFile(path, streams, sent, finish, metadata.title, packed144);
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::writeAndReadBack(data, size);
    return 0;
}
