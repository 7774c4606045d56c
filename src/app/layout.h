#pragma once
// The window's static model as data: every control and every menu entry with
// its place (in twips), caption and order. The window is built from these
// tables; nothing is placed by hand.

#include <span>

namespace velmora::layout {

inline constexpr int kTwipsPerPixel = 15;
constexpr int toPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

inline constexpr int kClientWidth = 8745;
inline constexpr int kClientHeight = 7080;
inline constexpr int kClientLeft = 1665;
inline constexpr int kClientTop = 945;

enum class Kind { EncoderHost, Frame, Label, TextBox, CommandButton, CheckBox, ComboBox };

struct Control {
    const char* name;
    Kind kind;
    const char* container;  // nullptr: the window itself
    const char16_t* caption;
    int left, top, width, height;  // twips, relative to the container
    int tabIndex;
};

struct MenuEntry {
    int level;  // 1 title, 2 item, 3 item of a sub-menu
    const char* name;
    const char16_t* caption;  // "-" is a separator
    const char* shortcut;     // Qt key sequence, or nullptr
    bool visible;
};

// A caption that names a control beside it: the label of a row, read out
// with its control by a screen reader.
struct Caption {
    const char* label;
    const char* control;
};

std::span<const Control> controls();
std::span<const MenuEntry> menus();
std::span<const Caption> captions();

}  // namespace velmora::layout
