#pragma once
// How RealMedia packets carry the audio we write: the planner costs an audio
// stream by these figures, and both writers pack it by them.

namespace velmora::encoder {

// Every packet of the data chunk starts with a header of this many bytes.
inline constexpr int kRealMediaPacketHeaderBytes = 12;

// RealAudio 14.4: 20-byte frames of 160 samples at 8 kHz. Ten frames share a
// packet, which saves the slow audiences 4.3 kbps of headers.
inline constexpr int kReal144FrameBytes = 20;
inline constexpr int kReal144SamplesPerFrame = 160;
inline constexpr int kReal144SampleRate = 8000;
inline constexpr int kReal144FramesPerPacket = 10;
inline constexpr int kReal144BitRate =
    kReal144FrameBytes * 8 * kReal144SampleRate / kReal144SamplesPerFrame;

// AC-3: 1536 samples a frame at every rate, one frame a packet.
inline constexpr int kAc3SamplesPerFrame = 1536;

}  // namespace velmora::encoder
