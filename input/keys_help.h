// The key and mouse table a person is shown: Help > Keys and mouse (F1) in the window,
// and the end of --help. One table for both.
#pragma once

#include <string>

#include "platform/win/win_types.h"

// The table as text in titled groups, one input a line. `columns`: keys padded into a
// column (a terminal's fixed-width font); otherwise "keys: what it does" (a dialog's).
std::string keysAndMouseText(bool columns);

// Shows the table in a message box owned by `window`, with this caption.
inline constexpr char kKeysAndMouseCaption[] = "Keys and mouse";
void showKeysAndMouse(HWND window);
