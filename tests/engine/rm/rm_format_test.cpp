// Byte layout of the RealMedia pieces, checked at the offsets FFmpeg's,
// GStreamer's and MediaInfo's readers take them from.
#include "engine/rm/rm_format.h"

#include <gtest/gtest.h>

#include "engine/rm/rate_meter.h"
#include "rm_file.h"

namespace velmora::encoder::rm {
namespace {

using rmtest::be16;
using rmtest::be32;

TEST(RmFormat, StringsAreLengthPrefixedAndCutOnCharacterBoundaries) {
    Bytes out;
    ByteWriter w(out);
    w.str16("ab");
    w.str8("");
    EXPECT_EQ(out, (Bytes{0, 2, 'a', 'b', 0}));

    // "中" is three bytes: a cut inside it drops the whole character.
    const std::string text = "a中";
    EXPECT_EQ(clipUtf8(text, 3), "a");
    EXPECT_EQ(clipUtf8(text, 4), "a中");
    const std::string longTitle(300, 'x');
    Bytes s8;
    ByteWriter(s8).str8(longTitle);
    EXPECT_EQ(s8[0], 255);
    EXPECT_EQ(s8.size(), 256u);
}

TEST(RmFormat, FileHeaderPropAndDataChunks) {
    const Bytes rmf = fileHeaderChunk(7);
    ASSERT_EQ(rmf.size(), kFileHeaderSize);
    EXPECT_EQ(std::string(rmf.begin(), rmf.begin() + 4), ".RMF");
    EXPECT_EQ(be32(&rmf[4]), 18u);
    EXPECT_EQ(be32(&rmf[14]), 7u);

    FileProperties p;
    p.maxBitRate = 1;
    p.avgBitRate = 2;
    p.maxPacketSize = 3;
    p.avgPacketSize = 4;
    p.numPackets = 5;
    p.durationMs = 6;
    p.prerollMs = 7;
    p.indexOffset = 8;
    p.dataOffset = 9;
    p.numStreams = 2;
    const Bytes prop = propChunk(p);
    ASSERT_EQ(prop.size(), kPropChunkSize);
    EXPECT_EQ(std::string(prop.begin(), prop.begin() + 4), "PROP");
    for (std::uint32_t field = 0; field < 9; ++field)
        EXPECT_EQ(be32(&prop[10 + 4 * field]), field + 1);
    EXPECT_EQ(be16(&prop[46]), 2);
    EXPECT_EQ(be16(&prop[48]), kPropSaveEnabled | kPropPerfectPlay);

    const Bytes data = dataChunkHeader(1000, 42);
    ASSERT_EQ(data.size(), kDataHeaderSize);
    EXPECT_EQ(be32(&data[4]), 1000u);
    EXPECT_EQ(be32(&data[10]), 42u);
    EXPECT_EQ(be32(&data[14]), 0u);
}

TEST(RmFormat, MdprAndContSizesCoverTheirContents) {
    StreamProperties s;
    s.number = 1;
    s.durationMs = 1234;
    s.name = "Video Stream";
    s.mimeType = "video/x-pn-realvideo";
    s.typeSpecific = {1, 2, 3};
    const Bytes mdpr = mdprChunk(s);
    EXPECT_EQ(be32(&mdpr[4]), mdpr.size());
    EXPECT_EQ(be16(&mdpr[10]), 1);
    EXPECT_EQ(be32(&mdpr[10 + 2 + 24]), 1234u);   // after number and six 32-bit fields
    EXPECT_EQ(be32(&mdpr[mdpr.size() - 7]), 3u);  // type-specific length, then the data

    const Bytes cont = contChunk({"T", "", "C", "xyz"});
    EXPECT_EQ(be32(&cont[4]), cont.size());
    EXPECT_EQ(cont.size(), 10u + 8 + 1 + 1 + 3);
}

TEST(RmFormat, IndexChunkCountsItsRecords) {
    const Bytes indx = indexChunk(1, {{0, 100, 0}, {2000, 5000, 40}}, 777);
    ASSERT_EQ(indx.size(), kIndexHeaderSize + 2 * kIndexEntrySize);
    EXPECT_EQ(be32(&indx[4]), indx.size());
    EXPECT_EQ(be32(&indx[10]), 2u);
    EXPECT_EQ(be16(&indx[14]), 1);
    EXPECT_EQ(be32(&indx[16]), 777u);
    const std::uint8_t* second = &indx[20 + 14];
    EXPECT_EQ(be32(second + 2), 2000u);
    EXPECT_EQ(be32(second + 6), 5000u);
    EXPECT_EQ(be32(second + 10), 40u);
}

TEST(RmFormat, PacketHeaderFields) {
    const Bytes h = packetHeader(1, 0x01020304, kFlagKeyFrame, 300);
    EXPECT_EQ(h, (Bytes{0, 0, 0x01, 0x2C, 0, 1, 1, 2, 3, 4, 0, 2}));
}

TEST(RmFormat, FramesSplitIntoAtMostTwoPackets) {
    // Fits with its 12 + 2 header bytes.
    EXPECT_EQ(splitVideoFrame(986, 1000).size(), 1u);
    const auto two = splitVideoFrame(987, 1000);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].offset, 0u);
    EXPECT_EQ(two[1].offset, two[0].size);
    EXPECT_EQ(two[0].size + two[1].size, 987u);
    // Far larger than asked: still two packets, each within the 16-bit length.
    const auto big = splitVideoFrame(100000, 1000);
    ASSERT_EQ(big.size(), 2u);
    EXPECT_LE(big[0].size + kPacketHeaderSize + kFragmentHeaderMax, kMaxPacketSize);
    EXPECT_TRUE(splitVideoFrame(2 * 65512 + 1, 1000).empty());
    // Asking for more than the format allows changes nothing.
    EXPECT_EQ(splitVideoFrame(65521, 1 << 20).size(), 1u);
    EXPECT_EQ(splitVideoFrame(65522, 1 << 20).size(), 2u);
}

TEST(RmFormat, FragmentHeadersCarryCountSequenceLengthAndOffset) {
    // Small numbers take two bytes with bit 14 set.
    const Bytes first = fragmentHeader(2, 0, 3000, {0, 1500}, 7);
    EXPECT_EQ(first, (Bytes{0x01, 0x01, 0x4B, 0xB8, 0x40, 0x00, 7}));
    // The last fragment says how long it is.
    const Bytes last = fragmentHeader(2, 1, 3000, {1500, 1500}, 7);
    EXPECT_EQ(last, (Bytes{0x81, 0x02, 0x4B, 0xB8, 0x45, 0xDC, 7}));
    // Large numbers take four bytes with the top bits clear.
    const Bytes large = fragmentHeader(2, 1, 100000, {50000, 50000}, 9);
    ASSERT_EQ(large.size(), kFragmentHeaderMax);
    EXPECT_EQ(be32(&large[2]), 100000u);
    EXPECT_EQ(be32(&large[6]), 50000u);
    EXPECT_EQ(wholeFrameHeader()[0] >> 6, 1);
}

TEST(RmFormat, VideoTypeSpecificData) {
    const Bytes codec = defaultRealVideoCodecData(false);
    const Bytes v = realVideoTypeSpecific(false, 176, 144, frameRateFixed(2, 15), codec);
    ASSERT_EQ(v.size(), 34u);
    EXPECT_EQ(be32(&v[0]), 34u);
    EXPECT_EQ(std::string(v.begin() + 4, v.begin() + 12), "VIDORV20");
    EXPECT_EQ(be16(&v[12]), 176);
    EXPECT_EQ(be16(&v[14]), 144);
    EXPECT_EQ(be32(&v[22]), 0x00078000u);  // 7.5 fps in 16.16
    EXPECT_EQ(be32(&v[30]) >> 28, 2u);     // decoders read the major version here
    EXPECT_EQ(be32(&defaultRealVideoCodecData(true)[4]) >> 28, 1u);
    EXPECT_EQ(frameRateFixed(1, 30), 30u << 16);
}

TEST(RmFormat, Audio144HeaderIsVersionThree) {
    const Bytes a = realAudio144TypeSpecific(4000);
    EXPECT_EQ(std::string(a.begin(), a.begin() + 3), ".ra");
    EXPECT_EQ(a[3], 0xFD);
    EXPECT_EQ(be16(&a[4]), 3);
    EXPECT_EQ(be16(&a[6]), a.size() - 8);  // header size counts what follows it
    EXPECT_EQ(be16(&a[8]), 1);             // channels
    EXPECT_EQ(be16(&a[16]), 60000);        // bytes per minute: 8 kbit/s
    EXPECT_EQ(be32(&a[18]), 4000u);        // data size
    // Four empty texts, then one byte and the codec's name as VLC and FFmpeg
    // read it, and one more byte: xine takes the name from the fifth-last byte.
    ASSERT_EQ(a.size(), 22u + 4 + 7);
    EXPECT_EQ(a[27], 4);
    EXPECT_EQ(std::string(a.begin() + 28, a.begin() + 32), "lpcJ");
    EXPECT_EQ(std::string(a.end() - 5, a.end() - 1), "lpcJ");
}

TEST(RmFormat, DolbyNetHeaderIsVersionFour) {
    DolbyNetParams p;
    p.sampleRate = 44100;
    p.channels = 2;
    p.frameBytes = 278;
    p.bytesPerMinute = 480000;
    const Bytes d = dolbyNetTypeSpecific(p);
    ASSERT_EQ(d.size(), 73u);
    EXPECT_EQ(be16(&d[4]), 4);
    EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 12), ".ra4");
    EXPECT_EQ(be32(&d[24]), 278u);
    EXPECT_EQ(be32(&d[32]), 480000u);
    EXPECT_EQ(be16(&d[40]), 1);
    EXPECT_EQ(be16(&d[48]), 44100);
    EXPECT_EQ(be16(&d[52]), 16);
    EXPECT_EQ(be16(&d[54]), 2);
    EXPECT_EQ(std::string(d.begin() + 57, d.begin() + 61), "Int0");
    EXPECT_EQ(std::string(d.begin() + 62, d.begin() + 66), "dnet");
    EXPECT_EQ(be32(&d[69]), 0u);
}

TEST(RmFormat, Ac3WordsAreSwapped) {
    Bytes b{1, 2, 3, 4, 5};
    swapBytePairs(b.data(), b.size());
    EXPECT_EQ(b, (Bytes{2, 1, 4, 3, 5}));
}

TEST(RateMeter, PeakIsTheBusiestSecond) {
    RateMeter m;
    for (std::uint32_t t = 0; t < 10000; t += 100) m.add(t, 100);  // 8 kbit/s
    m.add(4500, 1000);                                             // a burst
    EXPECT_EQ(m.totalBytes(), 11000u);
    EXPECT_EQ(m.maxBitRate(0), (1000 + 1000) * 8u);
    // Bytes added later into an old second raise the peak too.
    m.add(4550, 500);
    EXPECT_EQ(m.maxBitRate(0), (1000 + 1500) * 8u);
    // Never below the average.
    EXPECT_EQ(m.maxBitRate(1000000), 1000000u);
    EXPECT_EQ(bitRate(1000, 2000), 4000u);
    EXPECT_EQ(bitRate(1000, 0), 0u);
}

TEST(RateMeter, AWildTimestampCostsNoMemory) {
    RateMeter m;
    m.add(0, 100);
    m.add(0xFFFFFFFFu, 100);  // lands in the last slot of a day
    EXPECT_EQ(m.totalBytes(), 200u);
    EXPECT_EQ(m.maxBitRate(0), 800u);
}

TEST(RateMeter, PrerollCoversAFrontLoadedStream) {
    RateMeter steady;
    for (std::uint32_t t = 0; t < 10000; t += 100) steady.add(t, 100);
    // A steady stream needs only its first slot.
    EXPECT_LE(steady.prerollMs(8000, 0), 100u);
    // The header comes down the same line first.
    EXPECT_GE(steady.prerollMs(8000, 1000), 1000u);

    RateMeter burst;
    burst.add(0, 4000);  // 32 kbit at the start of a 8 kbit/s stream: 4 s to arrive
    for (std::uint32_t t = 100; t < 10000; t += 100) burst.add(t, 60);
    const std::uint32_t avg = bitRate(burst.totalBytes(), 10000);
    EXPECT_GE(burst.prerollMs(avg, 0), 4000u * 8 * 1000 / avg - 1);

    // Packed audio for 0-200 ms is written after the video up to 200 ms:
    // it is due at 0 but arrives only with the 2,200th byte.
    RateMeter packed;
    packed.add(0, 100);
    packed.add(100, 1000);
    packed.add(200, 1000);
    packed.add(0, 100);
    EXPECT_GE(packed.prerollMs(8000, 0), 2200u);
}

}  // namespace
}  // namespace velmora::encoder::rm
