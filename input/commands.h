// The viewer's commands and its one table of menu items. The menu bar, the accelerator
// table, the About box and the menu positions the handlers check are all made from it;
// registerViewerCommands hands them to the window layer. Adding a menu item is one line of
// SOLLUX_VIEWER_MENU (then handle its command in handleCommand).
#pragma once

#include <vector>

#include "platform/win/win32.h"

// The menu bar's popups, in their order.
enum class ViewerMenu : int { File, Help, Render, Scene, View };
inline constexpr const char* kViewerMenuTitles[] = {"&File", "&Help", "&Render", "&Scene", "&View"};

// Every menu item in menu order, one line each. ITEM(name, id, menu, label, keys, checked):
// command kCommand<name> = id; its item in `menu` reads "label", then a tab and the first
// of its keys; each of its keys ("Ctrl+Shift+S", "Shift+Del", "F1", ..., separated by ", ")
// is an accelerator; `checked`: its check mark at start-up. SEPARATOR(menu): a line.
// "&File" and "&Help" come first, where the command handlers look for them; "&Render"
// carries the check marks of the rendering options (lighting on, solid, flat, ramp and
// dithering are the start-up state); "&Scene" reaches the remaining commands; "&View"
// brings the camera back to the model.
#define SOLLUX_VIEWER_MENU(ITEM, SEPARATOR)                                                \
    ITEM(OpenRokkaku, 7, File, "Open &Rokkaku...", "Ctrl+O", false)                        \
    ITEM(SaveScene, 602, File, "&Save Scene As...", "Ctrl+Shift+S", false)                 \
    ITEM(ExportGltf, 603, File, "&Export Scene as glTF...", "", false)                     \
    SEPARATOR(File)                                                                        \
    ITEM(Exit, 5, File, "E&xit", "", false)                                                \
    ITEM(About, 1, Help, "&About...", "Ctrl+A", false)                                     \
    ITEM(KeysAndMouse, 600, Help, "&Keys and mouse", "F1", false)                          \
    ITEM(Lighting, 200, Render, "&Lighting", "Ctrl+L", true)                               \
    SEPARATOR(Render)                                                                      \
    ITEM(Points, 201, Render, "&Points", "Ctrl+P", false)                                  \
    ITEM(Wireframe, 202, Render, "&Wireframe", "Ctrl+W", false)                            \
    ITEM(Solid, 203, Render, "&Solid", "Ctrl+S", true)                                     \
    SEPARATOR(Render)                                                                      \
    ITEM(Flat, 204, Render, "&Flat", "Ctrl+F", true)                                       \
    ITEM(Gouraud, 205, Render, "&Gouraud", "Ctrl+G", false)                                \
    ITEM(Phong, 206, Render, "P&hong", "Ctrl+H", false)                                    \
    SEPARATOR(Render)                                                                      \
    ITEM(Ramp, 207, Render, "&Ramp colour model", "Ctrl+M", true)                          \
    ITEM(Rgb, 208, Render, "RG&B colour model", "Ctrl+R", false)                           \
    SEPARATOR(Render)                                                                      \
    ITEM(Dither, 209, Render, "&Dithering", "Ctrl+D", true)                                \
    ITEM(TextureQuality, 210, Render, "&Texture filtering", "", false)                     \
    ITEM(OpenMesh, 2, Scene, "Open &Mesh...", "", false)                                   \
    ITEM(OpenFrame, 4, Scene, "Open &Frame...", "", false)                                 \
    ITEM(OpenAnimation, 3, Scene, "Open &Animation...", "", false)                         \
    ITEM(AnyPictureFormat, 500, Scene, "Any &picture format", "", false)                   \
    ITEM(OneTickAFrame, 501, Scene, "Animation &one tick a frame", "", false)              \
    SEPARATOR(Scene)                                                                       \
    ITEM(Color, 104, Scene, "C&olour...", "", false)                                       \
    SEPARATOR(Scene)                                                                       \
    ITEM(DirectionalLight, 301, Scene, "&Directional light", "", false)                    \
    ITEM(ParallelPointLight, 302, Scene, "Pa&rallel point light", "", false)               \
    ITEM(PointLight, 303, Scene, "Poi&nt light", "", false)                                \
    ITEM(SpotLight, 304, Scene, "&Spot light", "", false)                                  \
    SEPARATOR(Scene)                                                                       \
    ITEM(ShowBoxes, 105, Scene, "Selection &box", "Ctrl+B", false)                         \
    SEPARATOR(Scene)                                                                       \
    ITEM(Cut, 100, Scene, "Cu&t", "Ctrl+X, Shift+Del", false)                              \
    ITEM(Copy, 101, Scene, "&Copy", "Ctrl+C, Ctrl+Ins", false)                             \
    ITEM(Paste, 102, Scene, "&Paste", "Ctrl+V, Shift+Ins", false)                          \
    ITEM(Delete, 103, Scene, "De&lete", "Del", false)                                      \
    ITEM(FrameAll, 400, View, "&Frame all", "Home", false)                                 \
    ITEM(FrameSelection, 401, View, "Frame &selection", "Shift+Home", false)               \
    ITEM(ResetCamera, 402, View, "&Reset camera", "Ctrl+Home", false)

// Command ids of the menu, the accelerators and the programmatic commands.
enum ViewerCommand : int {
#define SOLLUX_COMMAND_ID(name, id, menu, label, keys, checked) kCommand##name = id,
#define SOLLUX_NO_ID(menu)
    SOLLUX_VIEWER_MENU(SOLLUX_COMMAND_ID, SOLLUX_NO_ID)
#undef SOLLUX_COMMAND_ID
#undef SOLLUX_NO_ID
    kCommandNothing = 6,  // no menu item: posted by programs, does nothing
};

struct ViewerMenuItem {
    ViewerMenu menu;
    int id;             // 0: a separator
    const char* label;  // null: a separator
    const char* keys;
    bool checked;
};
inline constexpr ViewerMenuItem kViewerMenuItems[] = {
#define SOLLUX_MENU_ITEM(name, id, menu, label, keys, checked) {ViewerMenu::menu, id, label, keys, checked},
#define SOLLUX_MENU_SEPARATOR(menu) {ViewerMenu::menu, 0, nullptr, "", false},
    SOLLUX_VIEWER_MENU(SOLLUX_MENU_ITEM, SOLLUX_MENU_SEPARATOR)
#undef SOLLUX_MENU_ITEM
#undef SOLLUX_MENU_SEPARATOR
};

// Two items with one id would both run one command: the compiler refuses the table.
constexpr bool menuIdsAreUnique() {
    for (const ViewerMenuItem& a : kViewerMenuItems) {
        for (const ViewerMenuItem& b : kViewerMenuItems) {
            if (&a != &b && a.id != 0 && (a.id == b.id || a.id == kCommandNothing)) return false;
        }
    }
    return true;
}
static_assert(menuIdsAreUnique(), "two menu items share a command id");

// The position of a popup in the menu bar.
constexpr int menuBarPosition(ViewerMenu menu) { return static_cast<int>(menu); }
// The position of a command's item in its popup (separators count); -1 for none.
constexpr int menuItemPosition(int id) {
    for (const ViewerMenuItem& item : kViewerMenuItems) {
        if (item.id != id || id == 0) continue;
        int position = 0;
        for (const ViewerMenuItem& before : kViewerMenuItems) {
            if (&before == &item) return position;
            if (before.menu == item.menu) ++position;
        }
    }
    return -1;
}

// Makes the menu bar "ViewerMenu", the accelerator table "ViewerAccel" and the dialog
// "AboutBox" from the table and registers them with the window layer (again: no change).
void registerViewerCommands();
// The accelerators of the table's keys, in menu order (empty when a key has no name
// the table knows: a test holds every key to a name).
std::vector<ACCEL> viewerAccelerators();
