// The program's resources, handed to the window layer by name at start-up, as a resource
// file would hold them: menus (WNDCLASSA::lpszMenuName), accelerator tables
// (LoadAcceleratorsA, TranslateAcceleratorA) and dialog templates (DialogBoxParamA). Names
// are matched without regard to case; registering a name again replaces its resource.
// The window layer's own icon ("ViewerIcon") needs no registration.
#pragma once

#include <string>
#include <vector>

#include "platform/win/win32.h"

struct WinMenuItem {
    std::string text;  // empty: a separator
    UINT id = 0;
    UINT state = 0;                  // MF_CHECKED, MF_GRAYED
    std::vector<WinMenuItem> popup;  // a popup's items (then id is 0)
};

namespace win {

struct DialogControl {
    enum Kind { Text, CenteredText, Button, DefaultButton, Icon } kind;
    int id;
    int x, y, cx, cy;  // dialog units
    std::string text;  // the icon's resource name for Icon
};
struct DialogTemplate {
    std::string name;
    std::string caption;
    int x, y, cx, cy;
    std::string fontName;
    int fontPoints;
    std::vector<DialogControl> controls;
};

}  // namespace win

void winRegisterMenu(const char* name, std::vector<WinMenuItem> items);
// A table's handle (LoadAcceleratorsA) stays valid when its name is registered again.
void winRegisterAccelerators(const char* name, std::vector<ACCEL> table);
void winRegisterDialog(win::DialogTemplate dialog);
