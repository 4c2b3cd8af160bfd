#include "input/commands.h"

#include <charconv>
#include <string>
#include <string_view>

#include "platform/win/resources.h"

namespace {

// "Ctrl+Shift+S", "Shift+Del", "F1" ... as an accelerator; false for a name not known here.
bool parseKey(std::string_view name, int command, ACCEL& out) {
    BYTE flags = FVIRTKEY | FNOINVERT;
    for (;;) {
        if (name.starts_with("Ctrl+"))
            flags |= FCONTROL;
        else if (name.starts_with("Shift+"))
            flags |= FSHIFT;
        else if (name.starts_with("Alt+"))
            flags |= FALT;
        else
            break;
        name.remove_prefix(name.find('+') + 1);
    }
    WORD key = 0;
    if (name.size() == 1 &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= '0' && name[0] <= '9')))
        key = name[0];
    else if (name == "Del")
        key = VK_DELETE;
    else if (name == "Ins")
        key = VK_INSERT;
    else if (name == "Home")
        key = VK_HOME;
    else if (name.size() > 1 && name[0] == 'F') {  // F1 to F12
        const char* end = name.data() + name.size();
        int n = 0;
        const auto [stop, error] = std::from_chars(name.data() + 1, end, n);
        if (error != std::errc{} || stop != end || n < 1 || n > 12) return false;
        key = static_cast<WORD>(VK_F1 + n - 1);
    } else {
        return false;
    }
    out = ACCEL{flags, key, static_cast<WORD>(command)};
    return true;
}

// Each key of a "Ctrl+X, Shift+Del" list; false when one has no known name.
template <class Each>
bool forEachKey(std::string_view keys, Each each) {
    while (!keys.empty()) {
        const size_t comma = keys.find(", ");
        if (!each(keys.substr(0, comma))) return false;
        keys = comma == std::string_view::npos ? std::string_view{} : keys.substr(comma + 2);
    }
    return true;
}

std::vector<WinMenuItem> viewerMenuBar() {
    std::vector<WinMenuItem> bar;
    for (const char* title : kViewerMenuTitles) bar.push_back(WinMenuItem{title, 0, MF_POPUP, {}});
    for (const ViewerMenuItem& item : kViewerMenuItems) {
        WinMenuItem entry;
        if (item.label != nullptr) {
            const std::string_view keys = item.keys;
            entry.text = std::string(item.label) +
                         (keys.empty() ? "" : "\t" + std::string(keys.substr(0, keys.find(", "))));
            entry.id = static_cast<UINT>(item.id);
            entry.state = item.checked ? MF_CHECKED : 0;
        }
        bar[static_cast<size_t>(menuBarPosition(item.menu))].popup.push_back(std::move(entry));
    }
    return bar;
}

win::DialogTemplate aboutBox() {
    return {
        "AboutBox",
        "About",
        22,
        17,
        195,
        95,
        "MS UI Gothic",
        9,
        {
            {win::DialogControl::CenteredText, -1, 30, 35, 127, 20,
             "By the SolluxViewer authors.\nFree to use and to share."},
            {win::DialogControl::DefaultButton, IDOK, 49, 65, 95, 20, "OK"},
            {win::DialogControl::Icon, -1, 5, 5, 18, 21, "ViewerIcon"},
            {win::DialogControl::Text, -1, 40, 10, 80, 10, "Sollux Viewer ver.0.91"},
        },
    };
}

}  // namespace

std::vector<ACCEL> viewerAccelerators() {
    std::vector<ACCEL> table;
    for (const ViewerMenuItem& item : kViewerMenuItems) {
        const bool known = forEachKey(item.keys, [&](std::string_view key) {
            ACCEL accel;
            if (!parseKey(key, item.id, accel)) return false;
            table.push_back(accel);
            return true;
        });
        if (!known) return {};
    }
    return table;
}

void registerViewerCommands() {
    winRegisterMenu("ViewerMenu", viewerMenuBar());
    winRegisterAccelerators("ViewerAccel", viewerAccelerators());
    winRegisterDialog(aboutBox());
}
