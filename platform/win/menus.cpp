// Menus, accelerators and icons.
#include <algorithm>

#include "platform/win/win_internal.h"

namespace win {
namespace {

// Menus loaded with LoadMenuA and not yet given to a window.
std::vector<std::unique_ptr<Menu>>& loadedMenus() {
    static std::vector<std::unique_ptr<Menu>> menus;
    return menus;
}

bool contains(const Menu* root, const Menu* wanted) {
    if (root == nullptr) return false;
    if (root == wanted) return true;
    for (const MenuItem& item : root->items) {
        if (contains(item.popup.get(), wanted)) return true;
    }
    return false;
}

// A handle is only used when it names a live menu: stale or made-up handles change nothing.
Menu* menuFrom(HMENU handle) {
    auto* wanted = reinterpret_cast<Menu*>(handle);
    if (wanted == nullptr) return nullptr;
    for (auto& [id, w] : state().windows) {
        if (contains(w->menu.get(), wanted)) return wanted;
    }
    for (auto& m : loadedMenus()) {
        if (contains(m.get(), wanted)) return wanted;
    }
    return nullptr;
}

MenuItem* findItem(Menu& menu, UINT item, UINT flags) {
    if (flags & MF_BYPOSITION) {
        return item < menu.items.size() ? &menu.items[item] : nullptr;
    }
    for (MenuItem& candidate : menu.items) {
        if (!candidate.separator && !candidate.popup && candidate.id == item) return &candidate;
        if (candidate.popup) {
            if (MenuItem* inner = findItem(*candidate.popup, item, flags)) return inner;
        }
    }
    return nullptr;
}

void notifyMenuChanged(const Menu* menu) {
    for (auto& [id, w] : state().windows) {
        if (contains(w->menu.get(), menu)) backend().menuChanged(*w);
    }
}

}  // namespace

std::unique_ptr<Menu> takeLoadedMenu(HMENU handle) {
    auto& menus = loadedMenus();
    auto it = std::find_if(menus.begin(), menus.end(), [&](const auto& m) {
        return m.get() == reinterpret_cast<Menu*>(handle);
    });
    if (it == menus.end()) return nullptr;
    std::unique_ptr<Menu> taken = std::move(*it);
    menus.erase(it);
    return taken;
}

void forgetLoadedMenus() { loadedMenus().clear(); }

}  // namespace win

using namespace win;

HMENU LoadMenuA(HINSTANCE, LPCSTR name) {
    std::unique_ptr<Menu> menu = loadMenuTemplate(resourceName(name));
    if (!menu) return nullptr;
    HMENU handle = reinterpret_cast<HMENU>(menu.get());
    loadedMenus().push_back(std::move(menu));
    return handle;
}

HMENU GetMenu(HWND hwnd) {
    Window* w = windowFrom(hwnd);
    return w == nullptr ? nullptr : reinterpret_cast<HMENU>(w->menu.get());
}

HMENU GetSubMenu(HMENU handle, int position) {
    Menu* menu = menuFrom(handle);
    if (menu == nullptr || position < 0 || static_cast<size_t>(position) >= menu->items.size())
        return nullptr;
    return reinterpret_cast<HMENU>(menu->items[static_cast<size_t>(position)].popup.get());
}

int GetMenuItemCount(HMENU handle) {
    Menu* menu = menuFrom(handle);
    return menu == nullptr ? -1 : static_cast<int>(menu->items.size());
}

UINT GetMenuItemID(HMENU handle, int position) {
    Menu* menu = menuFrom(handle);
    if (menu == nullptr || position < 0 || static_cast<size_t>(position) >= menu->items.size())
        return 0xFFFFFFFF;
    const MenuItem& item = menu->items[static_cast<size_t>(position)];
    if (item.popup) return 0xFFFFFFFF;
    return item.separator ? 0 : item.id;
}

int GetMenuStringA(HMENU handle, UINT item, LPSTR text, int maxCount, UINT flags) {
    Menu* menu = menuFrom(handle);
    MenuItem* found = menu == nullptr ? nullptr : findItem(*menu, item, flags);
    if (found == nullptr) return 0;
    if (text == nullptr || maxCount <= 0) return static_cast<int>(found->text.size());
    lstrcpynA(text, found->text.c_str(), maxCount);
    return lstrlenA(text);
}

UINT GetMenuState(HMENU handle, UINT item, UINT flags) {
    Menu* menu = menuFrom(handle);
    MenuItem* found = menu == nullptr ? nullptr : findItem(*menu, item, flags);
    if (found == nullptr) return 0xFFFFFFFF;
    UINT s = found->state;
    if (found->separator) s |= MF_SEPARATOR;
    if (found->popup) s |= MF_POPUP | (static_cast<UINT>(found->popup->items.size()) << 8);
    return s;
}

DWORD CheckMenuItem(HMENU handle, UINT item, UINT check) {
    Menu* menu = menuFrom(handle);
    MenuItem* found = menu == nullptr ? nullptr : findItem(*menu, item, check);
    if (found == nullptr) return 0xFFFFFFFF;
    const DWORD previous = found->state & MF_CHECKED;
    found->state = (found->state & ~static_cast<UINT>(MF_CHECKED)) | (check & MF_CHECKED);
    if (previous != (found->state & MF_CHECKED)) notifyMenuChanged(menu);
    return previous;
}

BOOL EnableMenuItem(HMENU handle, UINT item, UINT enable) {
    Menu* menu = menuFrom(handle);
    MenuItem* found = menu == nullptr ? nullptr : findItem(*menu, item, enable);
    if (found == nullptr) return -1;
    const BOOL previous = static_cast<BOOL>(found->state & (MF_GRAYED | MF_DISABLED));
    found->state = (found->state & ~static_cast<UINT>(MF_GRAYED | MF_DISABLED)) |
                   (enable & (MF_GRAYED | MF_DISABLED));
    notifyMenuChanged(menu);
    return previous;
}

BOOL DrawMenuBar(HWND hwnd) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    backend().menuChanged(*w);
    return TRUE;
}

BOOL DestroyMenu(HMENU handle) { return takeLoadedMenu(handle) ? TRUE : FALSE; }

HACCEL LoadAcceleratorsA(HINSTANCE, LPCSTR name) {
    const std::vector<ACCEL>* table = findAccelerators(resourceName(name));
    return reinterpret_cast<HACCEL>(const_cast<std::vector<ACCEL>*>(table));
}

BOOL DestroyAcceleratorTable(HACCEL) { return TRUE; }

int TranslateAcceleratorA(HWND hwnd, HACCEL accel, LPMSG msg) {
    if (msg == nullptr || hwnd == nullptr || windowFrom(hwnd) == nullptr) return 0;
    const auto* table = reinterpret_cast<const std::vector<ACCEL>*>(accel);
    if (!isAcceleratorTable(table)) return 0;
    const bool keyDown = msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
    const bool charMessage = msg->message == WM_CHAR || msg->message == WM_SYSCHAR;
    if (!keyDown && !charMessage) return 0;
    // Modifiers as they were when the key was pressed: the state of the key messages taken.
    const State& s = state();
    BYTE mods = 0;
    if (s.syncKeys[VK_SHIFT]) mods |= FSHIFT;
    if (s.syncKeys[VK_CONTROL]) mods |= FCONTROL;
    if (s.syncKeys[VK_MENU]) mods |= FALT;
    for (const ACCEL& a : *table) {
        const bool virtualKey = (a.fVirt & FVIRTKEY) != 0;
        if (virtualKey != keyDown) continue;
        if (a.key != (msg->wParam & 0xffff)) continue;
        if (virtualKey && (a.fVirt & (FSHIFT | FCONTROL | FALT)) != mods) continue;
        SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(a.cmd, 1), 0);
        return 1;
    }
    return 0;
}

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
    if (instance == nullptr && IS_INTRESOURCE(name))
        return iconHandle("#32512");  // IDI_APPLICATION
    return iconHandle(resourceName(name));
}
