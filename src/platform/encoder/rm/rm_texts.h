#pragma once
// The texts the RealMedia writer reports to the user (Chinese, UTF-8).

namespace velmora::encoder::rm::text {

inline constexpr const char* kCreateFailed = "无法创建目标文件";
inline constexpr const char* kWriteFailed = "写入目标文件时出错（磁盘可能已满）";
inline constexpr const char* kCloseFailed = "关闭目标文件时出错";
inline constexpr const char* kUnsupportedCodec = "RealMedia 文件不支持这种编码格式";
inline constexpr const char* kBadStreamSettings = "流的参数不适合 RealMedia 文件";
inline constexpr const char* kTooManyStreams = "RealMedia 文件中的流太多";
inline constexpr const char* kWrongOrder = "写入 RealMedia 文件的步骤顺序不对";
inline constexpr const char* kUnknownStream = "数据包属于未声明的流";
inline constexpr const char* kBadAudioPacket = "音频数据包的长度不正确";
inline constexpr const char* kFrameTooLarge = "视频帧太大，无法写入 RealMedia 文件";
inline constexpr const char* kFileTooLarge = "目标文件超过了 RealMedia 格式 4 GB 的上限";

}  // namespace velmora::encoder::rm::text
