#include "app/layout.h"

namespace velmora::layout {

namespace {

using enum Kind;

// Frames come before the controls they hold, so a container always exists
// when its children are made.
const Control kControls[] = {
    {"ProducerControl1", EncoderHost, nullptr, u"", 1440, 240, 6375, 2295, 2},
    {"Frame1", Frame, nullptr, u"目标信息", 360, 2760, 4935, 1455, 0},
    {"Frame2", Frame, nullptr, u"录制控制", 360, 5760, 2295, 975, 1},
    {"Frame3", Frame, nullptr, u"状态显示", 3120, 5880, 5175, 855, 3},
    {"Frame4", Frame, nullptr, u"目标听众", 5640, 2760, 2655, 2775, 12},
    {"Frame5", Frame, nullptr, u"媒体设置", 360, 4440, 4935, 1095, 21},

    {"Label1", Label, "Frame1", u"文件来源", 120, 360, 855, 255, 4},
    {"Textopen", TextBox, "Frame1", u"", 960, 240, 2895, 390, 6},
    {"Cmdopen", CommandButton, "Frame1", u"浏览", 4080, 300, 735, 330, 8},
    {"Label2", Label, "Frame1", u"保存位置", 120, 960, 975, 255, 5},
    {"Textsave", TextBox, "Frame1", u"", 960, 840, 2895, 375, 7},
    {"Cmdsave", CommandButton, "Frame1", u"浏览", 4080, 910, 735, 315, 9},

    {"Label3", Label, "Frame5", u"音频格式", 240, 240, 975, 255, 24},
    {"Combo1", ComboBox, "Frame5", u"仅语音", 240, 480, 1935, 300, 22},
    {"Label4", Label, "Frame5", u"视频格式", 2760, 240, 975, 255, 25},
    {"Combo2", ComboBox, "Frame5", u"平滑动作视频", 2760, 480, 1935, 300, 23},

    {"Cmdstart", CommandButton, "Frame2", u"开始", 240, 360, 735, 375, 10},
    {"Cmdstop", CommandButton, "Frame2", u"停止", 1320, 360, 735, 375, 11},

    {"Check1", CheckBox, "Frame4", u"", 120, 240, 255, 300, 13},
    {"Label5", Label, "Frame4", u"28K Modem", 480, 280, 1575, 255, 26},
    {"Check2", CheckBox, "Frame4", u"", 120, 540, 255, 255, 14},
    {"Label6", Label, "Frame4", u"56K Modem", 480, 570, 1575, 255, 27},
    {"Check3", CheckBox, "Frame4", u"", 120, 820, 255, 255, 15},
    {"Label7", Label, "Frame4", u"单信道ISDN", 480, 870, 1575, 255, 28},
    {"Check4", CheckBox, "Frame4", u"", 120, 1120, 255, 255, 16},
    {"Label8", Label, "Frame4", u"双信道ISDN", 480, 1170, 1095, 255, 29},
    {"Check5", CheckBox, "Frame4", u"", 120, 1450, 255, 255, 17},
    {"Label9", Label, "Frame4", u"公共局域网", 480, 1500, 1215, 255, 30},
    {"Check8", CheckBox, "Frame4", u"", 120, 1780, 255, 255, 20},
    {"Label10", Label, "Frame4", u"256K DSL/Cable modem", 480, 1810, 2055, 255, 31},
    {"Check6", CheckBox, "Frame4", u"", 120, 2090, 255, 255, 18},
    {"Label11", Label, "Frame4", u"384K DSL/Cable modem", 480, 2130, 1935, 255, 32},
    {"Check7", CheckBox, "Frame4", u"", 120, 2400, 255, 255, 19},
    {"Label12", Label, "Frame4", u"512K DSL/Cable modem", 480, 2415, 1935, 255, 33},

    {"Labelface", Label, "Frame3", u"", 240, 360, 1455, 255, 34},
    {"Labelmul", Label, "Frame3", u"", 1800, 360, 1335, 255, 35},
    {"Label13", Label, "Frame3", u"工作时间", 3360, 360, 735, 255, 37},
    {"Labeltime", Label, "Frame3", u"", 4200, 360, 855, 255, 36},
};

const MenuEntry kMenus[] = {
    {1, "a10", u"文件(&F)", nullptr, true},
    {2, "a11", u"文件来源", nullptr, true},
    {2, "a12", u"保存位置", nullptr, true},
    {2, "a13", u"-", nullptr, true},
    {2, "a14", u"退出", nullptr, true},
    {1, "a20", u"控制(&C)", nullptr, true},
    {2, "a21", u"开始", "Ctrl+B", true},
    {2, "a22", u"停止", "Ctrl+S", true},
    {2, "a23", u"隐藏", "Ctrl+H", true},
    {1, "a30", u"选项(&O)", nullptr, true},
    {2, "a31", u"音频格式", nullptr, true},
    {3, "a311", u"仅语音", nullptr, true},
    {3, "a312", u"语音和背景音乐", nullptr, true},
    {3, "a313", u"音乐", nullptr, true},
    {3, "a314", u"立体声音乐", nullptr, true},
    {3, "a315", u"没有音频", nullptr, true},
    {2, "a32", u"视频格式", nullptr, true},
    {3, "a321", u"标准动作视频", nullptr, true},
    {3, "a322", u"平滑动作视频", nullptr, true},
    {3, "a323", u"急剧的动作图像", nullptr, true},
    {3, "a324", u"没有视频", nullptr, true},
    {2, "a33", u"压缩完关机", nullptr, true},
    {1, "a40", u"帮助(&H)", nullptr, true},
    {2, "a41", u"帮助主题", "F1", true},
    {2, "a42", u"检查更新的版本", nullptr, true},
    {2, "a43", u"关于", nullptr, true},
    {1, "tp", u"", nullptr, false},
    {2, "tuopan", u"托盘", nullptr, true},
    {3, "start", u"开始", nullptr, true},
    {3, "stop", u"停止", nullptr, true},
    {3, "xiansi", u"显示", nullptr, true},
    {3, "nl", u"-", nullptr, true},
    {3, "end", u"退出 ", nullptr, true},
};

// Rows 6 to 8 name Check8, Check6 and Check7; the clock's caption names the clock.
const Caption kCaptions[] = {
    {"Label1", "Textopen"},   {"Label2", "Textsave"}, {"Label3", "Combo1"},  {"Label4", "Combo2"},
    {"Label5", "Check1"},     {"Label6", "Check2"},   {"Label7", "Check3"},  {"Label8", "Check4"},
    {"Label9", "Check5"},     {"Label10", "Check8"},  {"Label11", "Check6"}, {"Label12", "Check7"},
    {"Label13", "Labeltime"},
};

}  // namespace

std::span<const Control> controls() {
    return kControls;
}
std::span<const MenuEntry> menus() {
    return kMenus;
}
std::span<const Caption> captions() {
    return kCaptions;
}

}  // namespace velmora::layout
