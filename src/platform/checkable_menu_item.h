#pragma once
// A menu entry with a check mark, as a screen reader needs it: Qt's own
// accessible menu entry says whether it is checked, never that it can be,
// so a reader cannot tell a switch from a command. Qt's AT-SPI bridge has no
// role for a check menu item and passes no checkable state either: such an
// entry goes as a check box, checkable and checked or not, among the menu's
// items.

namespace velmora {

// From now on (once is enough) every entry of a QMenu that is checkable
// when it joins the menu reaches the accessible tree as a check box.
void installCheckableMenuItems();

}  // namespace velmora
