#pragma once
// Every text the encoder side shows the user, in one place (Chinese, UTF-8):
// the engine, our RealMedia writer, the encoder component and its pane, and
// the command-line tool. No Qt here.

#include <string>
#include <string_view>

#include "texts/product.h"

namespace velmora::encoder::text {

inline constexpr const char* kProductName = VELMORA_PRODUCT_NAME;

// The audiences, as the pane and the command line name them.
inline constexpr const char* kAudience28K = "28K 调制解调器";
inline constexpr const char* kAudience56K = "56K 调制解调器";
inline constexpr const char* kAudienceSingleIsdn = "单 ISDN";
inline constexpr const char* kAudienceDualIsdn = "双 ISDN";
inline constexpr const char* kAudienceLan = "局域网";
inline constexpr const char* kAudience256K = "256K DSL/有线调制解调器";
inline constexpr const char* kAudience384K = "384K DSL/有线调制解调器";
inline constexpr const char* kAudience512K = "512K DSL/有线调制解调器";

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

// Refused property writes: "（id：需要 Long，收到 String("x")）".
inline constexpr const char* kNeeds = "需要 ";
inline constexpr const char* kGot = "，收到 ";

// Failures during a job.
inline constexpr const char* kReadFailed = "读取源文件时出错";
inline constexpr const char* kDecodeFailed = "解码源文件时出错";
inline constexpr const char* kEncodeFailed = "压缩时出错";
inline constexpr const char* kWriteFailed = "写入目标文件时出错（磁盘可能已满）";
inline constexpr const char* kRenameFailed = "无法把临时文件改名为目标文件";
inline constexpr const char* kOutOfMemory = "内存不足";

// Our RealMedia writer.
inline constexpr const char* kCreateFailed = "无法创建目标文件";
inline constexpr const char* kCloseFailed = "关闭目标文件时出错";
inline constexpr const char* kUnsupportedCodec = "RealMedia 文件不支持这种编码格式";
inline constexpr const char* kBadStreamSettings = "流的参数不适合 RealMedia 文件";
inline constexpr const char* kTooManyStreams = "RealMedia 文件中的流太多";
inline constexpr const char* kWrongOrder = "写入 RealMedia 文件的步骤顺序不对";
inline constexpr const char* kUnknownStream = "数据包属于未声明的流";
inline constexpr const char* kBadAudioPacket = "音频数据包的长度不正确";
inline constexpr const char* kFrameTooLarge = "视频帧太大，无法写入 RealMedia 文件";
inline constexpr const char* kFileTooLarge = "目标文件超过了 RealMedia 格式 4 GB 的上限";

// The pane.
inline constexpr const char* kIdle = "就绪";
inline constexpr const char* kBudget = "目标码率";
inline constexpr const char* kSourcePicture = "源画面";
inline constexpr const char* kOutputPicture = "输出画面";
inline constexpr const char* kNoPicture = "无画面";
inline constexpr const char* kElapsed = "已用";
inline constexpr const char* kRemaining = "剩余";
inline constexpr const char* kSpeed = "速度";
inline constexpr const char* kRealTime = "倍实时";
inline constexpr const char* kBitRate = "码率";
inline constexpr const char* kUnknown = "未知";
inline constexpr const char* kBudgetLine = "%1：%2，%3 kbps";  // label, audience, kbps
inline constexpr const char* kIdleHint = "选择源文件与目标听众后开始压缩";

// velmora-encode, the command-line tool.
namespace cli {
inline constexpr const char* kUsage =
    "用法：velmora-encode [--audience 列表] [--audio-content 0-3] [--video-quality 0-3|none]\n"
    "                     [--muxer ours|ffmpeg] 源文件 目标文件\n"
    "       velmora-encode --print-plan [同上的选项] 源文件\n"
    "  --audience       逗号分隔：28k,56k,isdn,dual-isdn,lan,256k,384k,512k（默认 256k）\n"
    "  --audio-content  0 仅语音，1 语音和音乐（默认），2 音乐，3 立体声音乐，none 不要声音\n"
    "  --video-quality  0 普通（默认），1 流畅，2 清晰，3 幻灯片，none 不要画面\n"
    "  --muxer          ours（默认，自己的写入器）或 ffmpeg\n"
    "  --print-plan     不压缩，逐行打印 ffmpeg 命令行做同样压缩所用的输出选项\n";

inline constexpr const char* kAudienceNeedsValue = "--audience 需要一个值";
inline constexpr const char* kUnknownAudience = "未知的目标听众";
inline constexpr const char* kNoAudience = "--audience 至少要有一个目标听众";
inline constexpr const char* kChoiceRange = " 的取值应为 0-3 或 none";  // after the option
inline constexpr const char* kMuxerValues = "--muxer 的取值应为 ffmpeg 或 ours";
inline constexpr const char* kUnknownOption = "未知的选项";
inline constexpr const char* kErrorLine = "velmora-encode：%s\n";
inline constexpr const char* kStoppedLine = "velmora-encode：已停止，保存了前 %.1f 秒\n";
// destination, seconds, bytes, kbps, audience, budget kbps, seconds taken
inline constexpr const char* kSummaryLine =
    "%s：%.1f 秒，%lld 字节，平均 %.1f kbps（%s 预算 %d kbps），用时 %.1f 秒\n";
}  // namespace cli

// A message about something named: "message：subject".
inline std::string withSubject(std::string_view message, std::string_view subject) {
    std::string out(message);
    out += "：";
    out += subject;
    return out;
}

// A message with its cause after it: "message（reason）".
inline std::string withReason(std::string_view message, std::string_view reason) {
    std::string out(message);
    out += "（";
    out += reason;
    out += "）";
    return out;
}

}  // namespace velmora::encoder::text
