#pragma once
// Every text the window side shows or hands to the shell, in one place: the
// window and its procedures, the dialogs, the shell, the log-off countdown.

#include "texts/product.h"

namespace velmora::text {

inline constexpr char16_t kTitle[] = u"" VELMORA_PRODUCT_NAME "v" VELMORA_VERSION_TEXT;

// Status line (Labelface)
inline constexpr char16_t kChooseFile[] = u"请选择文件";
inline constexpr char16_t kStarted4[] = u"压缩开始....";
inline constexpr char16_t kStartedBase[] = u"压缩开始";
inline constexpr char16_t kStoppedByUser[] = u"用户停止";
inline constexpr char16_t kCompleted[] = u"压缩完成";
inline constexpr char16_t kFailed[] = u"压缩出错";

// Job summary (Labelmul)
inline constexpr char16_t kOneFile[] = u"共一个文件";
inline constexpr char16_t kProgressPrefix[] = u"以压缩";
inline constexpr char16_t kOneFileCompressed[] = u"共压缩一个文件";
inline constexpr char16_t kDelight[] = u"卡哇伊！";
inline constexpr char16_t kNoFileMade[] = u"未生成文件";
// A set failed after its first files had taken their names: they stay.
inline constexpr char16_t kSomeFilesKept[] = u"部分文件已保存";

// The tray's balloon after a job of several files: count, folder.
inline constexpr char16_t kFilesInFolder[] = u"%1 个文件（%2）";

// Clock (Labeltime)
inline constexpr char16_t kZeroTime[] = u"00:00:00";

// Message boxes
inline constexpr char16_t kNotice[] = u"提示";
inline constexpr char16_t kChooseSourceFirst[] = u"请选择要压制文件！！！";

// File dialogs
inline constexpr char16_t kOpenTitle[] = u"请选择制作的文件";
inline constexpr char16_t kOpenFilter[] = u"媒体文件";
inline constexpr char16_t kSaveTitle[] = u"保存路径";
inline constexpr char16_t kSaveFilter[] = u"RealMedia Files(*.rm)|*.rm";

// Combo box lists
inline constexpr const char16_t* kAudioItems[] = {u"仅语音", u"语音和背景音乐", u"音乐",
                                                  u"立体声音乐", u"没有音乐"};
inline constexpr const char16_t* kVideoItems[] = {u"标准动作视频", u"平滑动作视频",
                                                  u"急剧的图像视频", u"幻灯片播放", u"没有视频"};

// The encoder's scratch folder as the window hands it over.
inline constexpr char16_t kTempDirectory[] = u"c:\\windows\\temp";

// About box, home page, help
inline constexpr char16_t kAboutApplication[] = u"" VELMORA_PRODUCT_NAME "窗口";
inline constexpr char16_t kCopyright[] = u"版权所有 (C) 2026 " VELMORA_PRODUCT_NAME " 开发组";
inline constexpr char16_t kAuthor[] = u"作者：" VELMORA_PRODUCT_NAME " 开发组";
inline constexpr char16_t kHomePage[] = u"https://velmora.example.org/";
inline constexpr char16_t kHelpTitle[] = u"帮助主题";
inline constexpr char16_t kHelpText[] =
    u"1. 在“文件来源”处点“浏览”选择要压缩的媒体文件。\n"
    u"2. 在“保存位置”处点“浏览”选择要保存的 .rm 文件。\n"
    u"3. 在“目标听众”中勾选连接速度，在“媒体设置”中选择音频和视频格式。\n"
    u"4. 点“开始”（Ctrl+B）开始压缩，点“停止”（Ctrl+S）停止；停止时已压缩的部分会保存下来。\n"
    u"5. “隐藏”（Ctrl+H）把窗口收到托盘，左键点托盘图标可以重新显示。";

// The log-off countdown, and the question when 压缩完关机 is ticked after a
// finished job. The menu says 关机; what really happens is the end of the
// logon, and the texts say so.
inline constexpr char16_t kLogoffTitle[] = u"注销";
// %1: seconds. Until the desktop has said how it will go, then as it said:
// its session manager lets every program save first, or logind ends the
// session with every program in it.
inline constexpr char16_t kLogoffCountdown[] =
    u"压缩完成，将在 %1 秒后注销（结束本次登录，未保存的工作会丢失）。";
inline constexpr char16_t kLogoffCountdownAsking[] =
    u"压缩完成，将在 %1 秒后注销。桌面会先请其他程序关闭，它们可以保存工作。";
inline constexpr char16_t kLogoffCountdownEnding[] =
    u"压缩完成，将在 %1 秒后注销。没有会话管理器回应：其他程序会被直接关闭，来不及保存工作。";
inline constexpr char16_t kLogoffCountdownNoWay[] =
    u"压缩完成，但无法注销：桌面的会话管理器和 logind 都没有回应（%1 秒后关闭）。";
inline constexpr char16_t kCancel[] = u"取消";
inline constexpr char16_t kLogoffQuestionTitle[] = u"何时注销";
inline constexpr char16_t kLogoffQuestion[] =
    u"上一次压缩已经完成。\n"
    u"注销会结束本次登录，未保存的工作会丢失。要在什么时候注销？";
inline constexpr char16_t kLogoffNow[] = u"现在注销（%1 秒后）";  // %1: seconds
inline constexpr char16_t kLogoffAfterNextJob[] = u"下一次压缩完成后注销";

// What the desktop is told while a job keeps the machine awake; %1: the
// source's file name.
inline constexpr char16_t kKeepAwakeReason[] = u"正在压缩 %1";

// For a screen reader: which file each 浏览 chooses, and what the status
// labels show.
inline constexpr char16_t kBrowseSourceDescription[] = u"选择要压缩的源文件";
inline constexpr char16_t kBrowseDestinationDescription[] = u"选择保存 .rm 文件的位置";
inline constexpr char16_t kStatusDescription[] = u"状态";
inline constexpr char16_t kProgressDescription[] = u"进度";

// Qt's file dialogs and about box
inline constexpr char16_t kAllFiles[] = u"所有文件 (*)";
inline constexpr char16_t kAboutTitle[] = u"关于 %1";  // %1: the application

// Refused automation calls (UTF-8: they travel in a Status)
inline constexpr const char* kDialogNoProperty = "文件对话框没有属性 ";        // + id
inline constexpr const char* kDialogNoOperation = "文件对话框没有操作 ";       // + id
inline constexpr const char* kDialogWrongType = "文件对话框属性的类型不对：";  // + id, value
inline constexpr const char* kPropertyNotReadable = "属性不可读取：";          // + id

}  // namespace velmora::text
