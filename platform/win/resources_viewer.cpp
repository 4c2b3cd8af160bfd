// The resources looked up by name as a resource file would hold them: the menus,
// accelerator tables and dialogs the program registered (platform/win/resources.h), and
// the window layer's own icon "ViewerIcon".
#include <cctype>
#include <cstring>
#include <map>

#include "platform/win/win_internal.h"

namespace win {

namespace {

// What the program registered, by name as given.
struct Registry {
    std::map<std::string, std::vector<WinMenuItem>> menus;
    // Tables stay where they are: their addresses are the handles LoadAcceleratorsA gave.
    std::map<std::string, std::unique_ptr<std::vector<ACCEL>>> accelerators;
    std::map<std::string, DialogTemplate> dialogs;
};
Registry& registry() {
    static Registry r;
    return r;
}

// 32 x 32 in the 16 standard colours: a navy-rimmed hexagon holding a sun. '.' is clear.
const char* const kViewerIconRows[32] = {
    "................................", "...............4................",
    ".............44444..............", "...........444666444............",
    ".........4446666666444..........", "........446666666666644.........",
    "......4446666CCCCCC666444.......", "....4446666CCCCBBCCCC666444.....",
    "...446666CCCCCCBBCCCCCC66644....", "...46666CCBCCCCBBCCCCBCC6664....",
    "...46666CBBCCCCCCCCCCBBC6664....", "...4666CCCCBCBBBBBBCBCCCC664....",
    "...4666CCCCCBBBBBBBBCCCCC664....", "...466CCCCCBBBBBBBBBBCCCCC64....",
    "...466CCCCCBBBBBBBBBBCCCCC64....", "...466CBBBCBBBBBBBBBBCBBBC64....",
    "...466CBBBCBBBBBBBBBBCBBBC64....", "...466CCCCCBBBBBBBBBBCCCCC64....",
    "...466CCCCCBBBBBBBBBBCCCCC64....", "...4666CCCCCBBBBBBBBCCCCC664....",
    "...4666CCCCBCBBBBBBCBCCCC664....", "...46666CBBCCCCCCCCCCBBC6664....",
    "...44666CCBCCCCBBCCCCBCC6644....", "....44466CCCCCCBBCCCCCC6444.....",
    "......44466CCCCBBCCCC6444.......", "........44666CCCCCC6644.........",
    ".........4446666666444..........", "...........444666444............",
    ".............44444..............", "...............4................",
    "................................", "................................",
};

// The 16-colour palette, indexed by hex digit.
constexpr unsigned char kPalette[16][3] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

IconImage buildIcon(const char* const* rows, int size) {
    IconImage icon;
    icon.width = icon.height = size;
    icon.rgba.assign(static_cast<size_t>(size * size * 4), 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const char c = rows[y][x];
            if (c == '.') continue;
            const int index = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'A' + 10;
            unsigned char* px = &icon.rgba[static_cast<size_t>((y * size + x) * 4)];
            px[0] = kPalette[index][0];
            px[1] = kPalette[index][1];
            px[2] = kPalette[index][2];
            px[3] = 255;
        }
    }
    return icon;
}

bool sameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

void fill(Menu& menu, const std::vector<WinMenuItem>& items) {
    for (const WinMenuItem& from : items) {
        MenuItem item;
        if (from.text.empty()) {
            item.separator = true;
        } else {
            item.text = from.text;
            item.id = from.id;
            item.state = from.state & (MF_CHECKED | MF_GRAYED);
            if (!from.popup.empty()) {
                item.popup = std::make_unique<Menu>();
                fill(*item.popup, from.popup);
            }
        }
        menu.items.push_back(std::move(item));
    }
}

// The registered entry whose name matches, or null.
template <class Map>
auto* findByName(Map& map, const std::string& name) {
    for (auto& [key, value] : map) {
        if (sameName(key, name.c_str())) return &value;
    }
    return static_cast<typename Map::mapped_type*>(nullptr);
}

}  // namespace

std::string resourceName(LPCSTR name) {
    if (name == nullptr) return {};
    if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<UINT_PTR>(name));
    return name;
}

std::unique_ptr<Menu> loadMenuTemplate(const std::string& name) {
    const std::vector<WinMenuItem>* items = findByName(registry().menus, name);
    if (items == nullptr) return nullptr;
    auto menu = std::make_unique<Menu>();
    fill(*menu, *items);
    return menu;
}

const std::vector<ACCEL>* findAccelerators(const std::string& name) {
    const std::unique_ptr<std::vector<ACCEL>>* table = findByName(registry().accelerators, name);
    return table == nullptr ? nullptr : table->get();
}

bool isAcceleratorTable(const std::vector<ACCEL>* table) {
    if (table == nullptr) return false;
    for (const auto& [name, registered] : registry().accelerators) {
        if (registered.get() == table) return true;
    }
    return false;
}

const DialogTemplate* findDialogTemplate(const std::string& name) {
    return findByName(registry().dialogs, name);
}

const IconImage* findIcon(const std::string& name) {
    static const IconImage viewerIcon = buildIcon(kViewerIconRows, 32);
    return sameName(name, "ViewerIcon") || sameName(name, "#32512") ? &viewerIcon : nullptr;
}

HICON iconHandle(const std::string& name) {
    const IconImage* icon = findIcon(name);
    return icon == nullptr ? nullptr : reinterpret_cast<HICON>(const_cast<IconImage*>(icon));
}

const IconImage* iconFromHandle(HICON icon) {
    const IconImage* known = findIcon("ViewerIcon");
    return reinterpret_cast<const IconImage*>(icon) == known ? known : nullptr;
}

}  // namespace win

void winRegisterMenu(const char* name, std::vector<WinMenuItem> items) {
    win::registry().menus[name] = std::move(items);
}

void winRegisterAccelerators(const char* name, std::vector<ACCEL> table) {
    std::unique_ptr<std::vector<ACCEL>>& slot = win::registry().accelerators[name];
    if (slot) *slot = std::move(table);
    else slot = std::make_unique<std::vector<ACCEL>>(std::move(table));
}

void winRegisterDialog(win::DialogTemplate dialog) {
    const std::string name = dialog.name;
    win::registry().dialogs[name] = std::move(dialog);
}
