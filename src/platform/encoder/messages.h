#pragma once
// Every text the encoder shows the user, in one place (Chinese, UTF-8).

namespace velmora::encoder::text {

inline constexpr const char* kProductName = "Velmora";

// Refusals at start.
inline constexpr const char* kNoSource = "请先指定要压缩的源文件。";
inline constexpr const char* kSourceUnreadable = "无法打开源文件";
inline constexpr const char* kSourceNoMedia = "源文件中既没有音频也没有视频，无法压缩。";
inline constexpr const char* kSourceNotFile = "源文件不是普通文件";
inline constexpr const char* kNoDestination = "请先指定目标文件。";
inline constexpr const char* kDestinationFolderMissing = "目标文件夹不存在";
inline constexpr const char* kDestinationFolderReadOnly = "目标文件夹不可写";
inline constexpr const char* kDestinationIsFolder = "目标是一个文件夹，请指定文件名";
inline constexpr const char* kDestinationIsSource =
    "目标文件与源文件是同一个文件，请另选目标文件。";
inline constexpr const char* kNoAudience = "请至少选择一个目标听众。";
inline constexpr const char* kNothingToEncode = "所选的音频和视频设置使输出文件中没有任何内容。";
inline constexpr const char* kTempFileFailed = "无法在目标文件夹中创建临时文件";

// Property writes.
inline constexpr const char* kUnknownId = "编码器不支持此属性或操作";
inline constexpr const char* kWrongType = "属性值的类型不正确";
inline constexpr const char* kOutOfRange = "属性值超出范围";

// Failures during a job.
inline constexpr const char* kReadFailed = "读取源文件时出错";
inline constexpr const char* kDecodeFailed = "解码源文件时出错";
inline constexpr const char* kEncodeFailed = "压缩时出错";
inline constexpr const char* kWriteFailed = "写入目标文件时出错（磁盘可能已满）";
inline constexpr const char* kRenameFailed = "无法把临时文件改名为目标文件";
inline constexpr const char* kOutOfMemory = "内存不足";

// The pane.
inline constexpr const char* kIdle = "就绪";
inline constexpr const char* kBudget = "目标码率";
inline constexpr const char* kEncoding = "正在压缩";
inline constexpr const char* kSourcePicture = "源画面";
inline constexpr const char* kOutputPicture = "输出画面";
inline constexpr const char* kNoPicture = "无画面";
inline constexpr const char* kElapsed = "已用";
inline constexpr const char* kRemaining = "剩余";
inline constexpr const char* kSpeed = "速度";
inline constexpr const char* kRealTime = "倍实时";
inline constexpr const char* kBitRate = "码率";
inline constexpr const char* kUnknown = "未知";
inline constexpr const char* kIdleHint = "选择源文件与目标听众后开始压缩";

}  // namespace velmora::encoder::text
