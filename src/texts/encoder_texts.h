#pragma once
// Every text the encoder side shows the user, in one place (Chinese, UTF-8):
// the engine, our RealMedia writer, the encoder component and its pane, and
// the command-line tool. No Qt here.

#include <algorithm>
#include <cstdint>
#include <cstdio>
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
// Playlists (HLS, DASH), lists to concatenate and session descriptions.
inline constexpr const char* kSourceReachesOut =
    "源文件是播放列表或引用其他文件、网络地址的清单，为安全起见不读取它引用的内容";
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
inline constexpr const char* kDestinationNotFile =
    "目标已存在，但它不是普通文件（可能是设备、管道或套接字），不能被替换";
inline constexpr const char* kDestinationNameTooLong = "目标文件名太长";
// A file beside the named destination that this job would replace.
inline constexpr const char* kDestinationStranger =
    "该位置已有一个不是 RealMedia 文件的同名文件，不会替换它，请另选目标文件名";
inline constexpr const char* kStoppedWhileOpening = "打开源文件时已停止。";

// Why a file could not be read or written, from the system's error code;
// FFmpeg's own words follow only for causes not listed here.
inline constexpr const char* kCauseNoSuchFile = "文件不存在。";
inline constexpr const char* kCauseNoPermission = "没有访问该文件的权限。";
inline constexpr const char* kCauseNotMedia = "它不是可识别的媒体文件，或已损坏得无法使用。";
inline constexpr const char* kCauseDiskFull = "磁盘已满。";
inline constexpr const char* kCauseTooBig = "文件超过了系统允许的大小。";
inline constexpr const char* kCauseNameTooLong = "文件名太长。";
inline constexpr const char* kCauseIsFolder = "它是一个文件夹。";
inline constexpr const char* kCauseIsLink =
    "它是一个符号链接，不会跟随它，也不会替换它指向的文件。";
inline constexpr const char* kCauseNotRegular = "它不是普通文件（可能是设备、管道或套接字）。";
inline constexpr const char* kCauseExists = "已有同名的文件。";
inline constexpr const char* kCauseDeviceError = "读写设备时出错，磁盘或网络可能有问题。";
inline constexpr const char* kCauseTooManyFiles = "同时打开的文件太多，已达到系统的上限。";
inline constexpr const char* kCauseNoCodec = "不支持其中的编码格式。";
inline constexpr const char* kCauseNoData =
    "它在 10 秒内没有送来任何数据（可能是无人写入的管道或设备）。";
// Reads given up on because a disk or mount stopped answering are still
// held by the system, as many as the program lets wait.
inline constexpr const char* kCauseReadsHeld =
    "先前读取的源文件所在的磁盘或网络一直没有响应，在它恢复之前不再打开源文件。";
inline constexpr const char* kCauseUnknown = "原因不明";

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
inline constexpr const char* kWriteFailed = "写入目标文件时出错";
inline constexpr const char* kRenameFailed = "无法把临时文件改名为目标文件";
inline constexpr const char* kNoFreeName = "文件夹中找不到一组未被占用的文件名";
inline constexpr const char* kOutOfMemory = "内存不足";
inline constexpr const char* kSourceMostlyDamaged =
    "源文件损坏严重：大部分内容无法解码，没有保存结果";
inline constexpr const char* kSourceNothingDecoded =
    "源文件中没有一帧画面或一段声音能够解码，没有保存结果";
inline constexpr const char* kNothingWritten = "压缩结果中没有任何画面或声音，没有保存结果";

// Warnings after a job that finished (shown with the summary).
// printf formats: seconds with one decimal.
inline constexpr const char* kWarnEndedEarly = "源文件提前结束：声明 %.1f 秒，实际 %.1f 秒";
inline constexpr const char* kWarnDamaged = "源文件有 %.2f 秒损坏，已跳过";
inline constexpr const char* kWarnVideoLeftOut = "源文件的画面完全无法解码，已略去，文件中只有声音";
inline constexpr const char* kWarnAudioLeftOut = "源文件的声音完全无法解码，已略去，文件中只有画面";
inline constexpr const char* kWarnGaps = "源文件的时间轴中有 %.1f 秒没有任何数据，已略去";
inline constexpr const char* kWarnRate =
    "源文件声明的帧率不可信（每秒 %.4g 帧），已按每秒 %.1f 帧处理";
inline constexpr const char* kWarnReadError = "源文件在 %.1f 秒处读取出错，之后的内容未能读取";
inline constexpr const char* kWarnSeparator = "；";

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
// What an ended job made, until the next start or change of settings.
inline constexpr const char* kSummaryCompleted = "压缩完成";
inline constexpr const char* kSummaryStopped = "已停止，已压缩的部分已保存";
inline constexpr const char* kSummaryFailedKept = "出错，已完成的文件已保存";
// held, size, average kbps / budget kbps, seconds a player buffers before it plays
inline constexpr const char* kSummaryFigures =
    "时长 %1　大小 %2　平均码率 %3/%4 kbps　预缓冲 %5 秒";
// A job of several files (one per ticked audience): after the running bit
// rate, which is the slowest file's; the count of files.
inline constexpr const char* kJobFiles = "（共 %1 个文件）";
// The files may come to more than the destination folder has free; the job goes on.
inline constexpr const char* kSpaceShort = "目标文件夹的剩余空间可能放不下这些文件";
// Several files made: count, total size, held; their folder; each file on hover.
inline constexpr const char* kSummaryFiles = "共 %1 个文件　总大小 %2　时长 %3";
inline constexpr const char* kSummaryFolder = "保存在 %1";
inline constexpr const char* kSummaryDetailsHint = "点“详情…”可查看每个文件";
inline constexpr const char* kSummaryDetailsTitle = "压缩结果";
// The columns of the table of files.
inline constexpr const char* kTableFile = "文件";
inline constexpr const char* kTableAudience = "目标听众";
inline constexpr const char* kTableSize = "大小";
inline constexpr const char* kTableKbps = "平均/目标码率";
inline constexpr const char* kTablePicture = "画面";
inline constexpr const char* kTablePreroll = "预缓冲";
inline constexpr const char* kSecondsValue = "%1 秒";

// Before a job: what the next job will make of the source named (the plan).
inline constexpr const char* kPlanReading = "正在读取源文件…";
inline constexpr const char* kPlanNotRegular =
    "源文件不是普通文件（管道或设备），长度未知：开始压缩前不读取它";
// count of files, then the source's length, or what stands for it
inline constexpr const char* kPlanHeading = "将生成 %1 个文件　源文件时长 %2";
inline constexpr const char* kPlanHeadingStill = "将生成 %1 个文件　源文件是单张图片，显示 %2 秒";
inline constexpr const char* kPlanHeadingNoLength = "将生成 %1 个文件　源文件没有说明时长";
// width, height, frames a second
inline constexpr const char* kPlanPicture = "%1×%2，每秒 %3 帧";
// codec, kHz, mono or stereo
inline constexpr const char* kPlanSound = "%1 %2 kHz %3";
inline constexpr const char* kPlanNoSound = "无声音";
inline constexpr const char* kPlanMono = "单声道";
inline constexpr const char* kPlanStereo = "立体声";
inline constexpr const char* kPlanReal144 = "RealAudio 14.4";
inline constexpr const char* kPlanAc3 = "AC-3";
inline constexpr const char* kPlanLargest = "至多约 %1";
inline constexpr const char* kPlanSizeUnknown = "大小未知";
inline constexpr const char* kPlanMoreFiles = "另有 %1 个文件，点“详情”查看";
inline constexpr const char* kPlanDetails = "详情…";
inline constexpr const char* kPlanDetailsTitle = "压缩计划";
inline constexpr const char* kPlanDetailsClose = "关闭";
// Names the files get while no destination is named.
inline constexpr const char* kPlanUnnamed = "目标文件.rm";
// Choices an audience cannot keep. The content chosen, the audiences.
inline constexpr const char* kPlanNoteSpeechSound = "%1在 %2 上只能是 8 kHz 单声道的语音音质";
inline constexpr const char* kPlanMusic = "音乐";
inline constexpr const char* kPlanStereoMusic = "立体声音乐";
// The source's width, height and rate; the audience; the file's width, height and rate.
inline constexpr const char* kPlanNotePicture =
    "%1×%2、每秒 %3 帧的画面在 %4 上只有 %5×%6、每秒 %7 帧";
inline constexpr const char* kPlanNoteHdr = "源文件是 HDR 画面，将转换为普通动态范围（SDR）的画面";
inline constexpr const char* kPlanNoteInterlaced = "源文件是隔行扫描的画面，将先去隔行";
inline constexpr const char* kPlanNoteNoPicture = "源文件没有画面，文件中只有声音";
inline constexpr const char* kPlanNoteNoSound = "源文件没有声音，文件中只有画面";
// The destination's name does not end in .rm; the files get it as it is.
inline constexpr const char* kPlanNoteNoExtension =
    "目标文件名没有 .rm 扩展名，播放器和文件管理器可能认不出这些文件";
inline constexpr const char* kPlanListSeparator = "、";
// The columns of the plan's table besides the summary's.
inline constexpr const char* kTableSound = "声音";
inline constexpr const char* kTableBudget = "目标码率";
inline constexpr const char* kTableLargest = "最大约";
// After a job: opens the files' folder in the desktop's file manager; where
// no program takes it, the folder is shown to be copied.
inline constexpr const char* kOpenFolder = "打开所在文件夹";
inline constexpr const char* kNoFolderOpener = "没有可以打开文件夹的程序";

// What the pane's parts are, for a screen reader.
inline constexpr const char* kProgressName = "压缩进度";

// A start refused after it had ended the running job: where that job's file is.
inline constexpr const char* kEarlierJobStopped = "正在进行的压缩已停止，已压缩的部分保存在";
inline constexpr const char* kEarlierJobCompleted = "上一个压缩已完成，文件保存在";
// The same for a job of several files: their count, then their folder.
inline constexpr const char* kEarlierJobStoppedFiles =
    "正在进行的压缩已停止，已压缩的部分（共 %1 个文件）保存在";
inline constexpr const char* kEarlierJobCompletedFiles = "上一个压缩已完成，共 %1 个文件保存在";

// velmora-encode, the command-line tool.
namespace cli {
inline constexpr const char* kUsage =
    "用法：velmora-encode [选项] 源文件 目标文件\n"
    "      velmora-encode [选项] 源文件... --output-dir 文件夹\n"
    "      velmora-encode --print-plan [选项] 源文件\n"
    "\n"
    "把媒体文件压缩成 RealMedia (.rm) 文件，每个目标听众一个，源文件只读一遍：\n"
    "最慢的听众的文件用给出的名称，其余听众的文件放在它旁边，名称后加 -听众\n"
    "（讲座.rm、讲座-512k.rm）。给出 --output-dir 时逐个压缩每个源文件，结果为\n"
    "文件夹/名称.rm 和它旁边的文件；这组名称中有一个已被占用时，整组加同一个\n"
    "数字后缀（名称-1.rm、名称-1-512k.rm……）。名称在文件写完时才占用：压缩期间\n"
    "有别的文件（例如同时运行的另一批）先占了其中一个，整组改用下一个后缀，\n"
    "不会覆盖任何已有的文件。\n"
    "\n"
    "选项：\n"
    "  --audience 列表       逗号分隔的目标听众：28k,56k,isdn,dual-isdn,lan,256k,384k,512k\n"
    "                        （默认 256k；选了多个时每个听众各得一个文件；\n"
    "                        不能有空的名称）\n"
    "  --audio-content 0-3   0 仅语音，1 语音和背景音乐（默认），2 音乐，3 立体声音乐，\n"
    "                        none 不要声音\n"
    "  --video-quality 0-3   0 标准动作视频（默认），1 平滑动作视频，2 急剧的图像视频，\n"
    "                        3 幻灯片播放，none 不要画面\n"
    "  --muxer ours|ffmpeg   自己的 RealMedia 写入器（默认）或 FFmpeg 的\n"
    "  --title 文字          文件的标题（默认取源文件的），--author 作者、\n"
    "                        --copyright 版权、--comment 说明同样\n"
    "  --output-dir 文件夹   批量模式：把所有源文件压缩到这个文件夹（不存在时创建）\n"
    "  --overwrite           批量模式下覆盖已有的同名文件，而不是加数字后缀；\n"
    "                        会覆盖本批的某个源文件时，什么也不压缩\n"
    "  --skip-existing       批量模式：一组文件都已完整存在（RealMedia，不比源文件旧，\n"
    "                        每个听众都有，长度与源文件相差不到 0.5 秒）的源文件\n"
    "                        不再压缩（JSON 的结果为 already_done）；不完整的重新压缩，\n"
    "                        替换这些名称上的 RealMedia 文件\n"
    "  --shard K/N           批量模式：源文件按名称的字节排序后，只压缩其中第 K、K+N、\n"
    "                        K+2N……个（K 从 0 起，小于 N），供作业数组的 N 个任务\n"
    "                        各取一份；JSON 的每一行写明 \"shard\":\"K/N\"\n"
    "  --json                每压缩完一个源文件，在标准输出上为它的每个输出文件\n"
    "                        打印一行 JSON 对象\n"
    "  --print-plan          不压缩，逐行打印 ffmpeg 命令行做同样压缩所用的输出选项\n"
    "                        （选了多个听众时，每个听众的选项前有一行，如“# 512k”；\n"
    "                        源文件是单张图片、HDR 画面或隔行扫描时，开头有说明\n"
    "                        这一点的“#”注释）\n"
    "  -h, --help            显示本帮助\n"
    "\n"
    "Ctrl+C（或 SIGTERM、SIGHUP）停止当前源文件的压缩（保存已压缩的部分）\n"
    "并跳过其余源文件。\n"
    "\n"
    "退出码：\n"
    "  0    全部完成（或已存在）\n"
    "  1    有源文件或目标无法使用，重试也没有用（源文件损坏、不存在等）\n"
    "  2    命令行有误\n"
    "  75   值得重试的失败：磁盘已满、写入目标时出错、内存不足\n"
    "  130  被 Ctrl+C、SIGTERM 或 SIGHUP 中断\n"
    "一批中有几种结果时，取最严重的：130、75、1、2、0。\n"
    "\n"
    "示例：\n"
    "  velmora-encode --audience 56k 讲座.mp4 讲座.rm\n"
    "  velmora-encode --audience lan,512k --audio-content 3 --json *.mp4 --output-dir out\n"
    "  velmora-encode --shard $SLURM_ARRAY_TASK_ID/4 --skip-existing --json *.mp4 --output-dir "
    "out\n";
inline constexpr const char* kShortUsage =
    "用法：velmora-encode [选项] 源文件 目标文件\n"
    "      velmora-encode [选项] 源文件... --output-dir 文件夹\n"
    "      velmora-encode --print-plan [选项] 源文件\n"
    "详见 velmora-encode --help\n";

inline constexpr const char* kAudienceNeedsValue = "--audience 需要一个值";
inline constexpr const char* kUnknownAudience = "未知的目标听众";
inline constexpr const char* kChoiceRange = " 的取值应为 0-3 或 none";  // after the option
inline constexpr const char* kTagNeedsValue = " 需要一段文字";          // after the option
inline constexpr const char* kMuxerValues = "--muxer 的取值应为 ffmpeg 或 ours";
inline constexpr const char* kUnknownOption = "未知的选项";
inline constexpr const char* kErrorLine = "velmora-encode：%s\n";
inline constexpr const char* kSourceStalled = "读取源文件没有响应，已放弃，未保存文件";
inline constexpr const char* kStopNotAwaited = "再次中断，不再等待压缩停止，未保存文件";
inline constexpr const char* kStoppedLine = "velmora-encode：已停止，保存了前 %.1f 秒\n";
inline constexpr const char* kStoppedNothingKept =
    "velmora-encode：已停止，停止前还没有压缩出任何内容，没有保存文件\n";
// destination, seconds, bytes, kbps, audience, budget kbps, seconds taken
inline constexpr const char* kSummaryLine =
    "%s：%.1f 秒，%lld 字节，平均 %.1f kbps（%s 预算 %d kbps），用时 %.1f 秒\n";
inline constexpr const char* kEmptyAudience = "--audience 的列表中有空的名称（多余的逗号？）";
inline constexpr const char* kOutputDirNeedsValue = "--output-dir 需要一个文件夹";
inline constexpr const char* kNeedsOutputDir = " 只能与 --output-dir 一起使用";  // after the option
inline constexpr const char* kShardValue = "--shard 的取值应为 K/N（N 份中的第 K 份，0 ≤ K < N）";
inline constexpr const char* kNoOutputDir = "无法创建输出文件夹";
// number, count, source, the job's files (joined by kFileSeparator)
inline constexpr const char* kFileHeader = "（%zu/%zu）%s → %s";
inline constexpr const char* kFileSeparator = "、";
// The job's files (joined by kFileSeparator), when a name of the set was
// taken while it ran.
inline constexpr const char* kMovedLine = "名称在压缩期间已被占用，结果改存为 %s";
// source, its output that is another source of the batch
inline constexpr const char* kOverwritesSource =
    "%s 的输出文件 %s 是本批的一个源文件，--overwrite 会覆盖它；已取消，没有压缩任何文件";

// The table after several files.
inline constexpr const char* kColumnFile = "文件";
inline constexpr const char* kColumnResult = "结果";
inline constexpr const char* kColumnHeld = "时长";
inline constexpr const char* kColumnSize = "大小";
inline constexpr const char* kColumnKbps = "kbps";
inline constexpr const char* kColumnNote = "输出文件或原因";
inline constexpr const char* kCompleted = "完成";
inline constexpr const char* kStopped = "已停止";
inline constexpr const char* kFailed = "失败";
inline constexpr const char* kSkipped = "已跳过";
inline constexpr const char* kAlreadyDone = "已存在";
inline constexpr const char* kNotStarted = "已中断，未处理";
inline constexpr const char* kNothingKept = "停止前还没有压缩出任何内容，未保存文件";
inline constexpr const char* kSeconds = "%.1f 秒";
// The first line of --print-plan for a source of one picture: seconds it is shown.
inline constexpr const char* kStillPictureComment = "# 源文件是单张图片，每个文件把它显示 %g 秒\n";
// The same for a picture converted from HDR, and for one deinterlaced.
inline constexpr const char* kHdrComment = "# 源文件是 HDR 画面，转换为普通动态范围（SDR）\n";
inline constexpr const char* kInterlacedComment = "# 源文件是隔行扫描的画面，先去隔行\n";
// What the source turned out to be, after the summary (the job's warning).
inline constexpr const char* kWarningLine = "velmora-encode：注意：%s\n";
}  // namespace cli

// A message about something named: "message：subject".
inline std::string withSubject(std::string_view message, std::string_view subject) {
    std::string out(message);
    out += "：";
    out += subject;
    return out;
}

// A message and its cause as two sentences: "message。cause".
inline std::string withCause(std::string_view message, std::string_view cause) {
    std::string out(message);
    out += "。";
    out += cause;
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

// A file size for people, as their file manager shows one: bytes, then KB
// and MB of 1024 with one decimal ("1023 B", "1.5 KB", "3.3 MB").
inline std::string sizeText(std::int64_t bytes) {
    char out[32];
    if (bytes < 1024)
        std::snprintf(out, sizeof out, "%lld B",
                      static_cast<long long>(std::max<std::int64_t>(bytes, 0)));
    else if (bytes < 1024 * 1024)
        std::snprintf(out, sizeof out, "%.1f KB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(out, sizeof out, "%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
    return out;
}

}  // namespace velmora::encoder::text
