// The viewer's resources: menu "ViewerMenu", accelerators "ViewerAccel", dialog
// "AboutBox" and icon "ViewerIcon", looked up by name as a resource file would be.
#include <cctype>
#include <cstring>

#include "platform/win/win_internal.h"

namespace win {

namespace {

constexpr UINT kChecked = MF_CHECKED;

// "&File" and "&Help" come first, where the command handlers look for them; "&Render"
// at position 2 carries the check marks of the rendering options (lighting on, solid, flat,
// ramp and dithering are the start-up state); "&Scene" reaches the remaining commands;
// "&View" brings the camera back to the model.
const MenuTemplateItem kFileMenu[] = {
    {"Open &Rokkaku...\tCtrl+O", 7, 0, nullptr, 0},
    {"&Save Scene As...\tCtrl+Shift+S", 602, 0, nullptr, 0},
    {"&Export Scene as glTF...", 603, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"E&xit", 5, 0, nullptr, 0},
};
const MenuTemplateItem kHelpMenu[] = {
    {"&About...\tCtrl+A", 1, 0, nullptr, 0},
    {"&Keys and mouse\tF1", 600, 0, nullptr, 0},
};
const MenuTemplateItem kRenderMenu[] = {
    {"&Lighting\tCtrl+L", 200, kChecked, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"&Points\tCtrl+P", 201, 0, nullptr, 0},
    {"&Wireframe\tCtrl+W", 202, 0, nullptr, 0},
    {"&Solid\tCtrl+S", 203, kChecked, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"&Flat\tCtrl+F", 204, kChecked, nullptr, 0},
    {"&Gouraud\tCtrl+G", 205, 0, nullptr, 0},
    {"P&hong\tCtrl+H", 206, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"&Ramp colour model\tCtrl+M", 207, kChecked, nullptr, 0},
    {"RG&B colour model\tCtrl+R", 208, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"&Dithering\tCtrl+D", 209, kChecked, nullptr, 0},
    {"&Texture filtering", 210, 0, nullptr, 0},
};
const MenuTemplateItem kSceneMenu[] = {
    {"Open &Mesh...", 2, 0, nullptr, 0},
    {"Open &Frame...", 4, 0, nullptr, 0},
    {"Open &Animation...", 3, 0, nullptr, 0},
    {"Any &picture format", 500, 0, nullptr, 0},
    {"Animation &one tick a frame", 501, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"C&olour...", 104, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"&Directional light", 301, 0, nullptr, 0},
    {"Pa&rallel point light", 302, 0, nullptr, 0},
    {"Poi&nt light", 303, 0, nullptr, 0},
    {"&Spot light", 304, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"Selection &box\tCtrl+B", 105, 0, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
    {"Cu&t\tCtrl+X", 100, 0, nullptr, 0},
    {"&Copy\tCtrl+C", 101, 0, nullptr, 0},
    {"&Paste\tCtrl+V", 102, 0, nullptr, 0},
    {"De&lete\tDel", 103, 0, nullptr, 0},
};
const MenuTemplateItem kViewMenu[] = {
    {"&Frame all\tHome", 400, 0, nullptr, 0},
    {"Frame &selection\tShift+Home", 401, 0, nullptr, 0},
    {"&Reset camera\tCtrl+Home", 402, 0, nullptr, 0},
};
#define SOLLUX_POPUP(text, items) \
    { text, 0, MF_POPUP, items, static_cast<int>(sizeof(items) / sizeof(items[0])) }
const MenuTemplateItem kViewerMenu[] = {
    SOLLUX_POPUP("&File", kFileMenu),
    SOLLUX_POPUP("&Help", kHelpMenu),
    SOLLUX_POPUP("&Render", kRenderMenu),
    SOLLUX_POPUP("&Scene", kSceneMenu),
    SOLLUX_POPUP("&View", kViewMenu),
};
#undef SOLLUX_POPUP

constexpr BYTE kCtrl = FVIRTKEY | FNOINVERT | FCONTROL;
constexpr BYTE kShift = FVIRTKEY | FNOINVERT | FSHIFT;
constexpr BYTE kPlain = FVIRTKEY | FNOINVERT;
const std::vector<ACCEL> kViewerAccel = {
    {kCtrl, 'A', 1},          {kCtrl, 'B', 105},       {kCtrl, 'C', 101},
    {kCtrl, 'D', 209},        {kCtrl, 'F', 204},       {kCtrl, 'G', 205},
    {kCtrl, 'H', 206},        {kCtrl, 'L', 200},       {kCtrl, 'M', 207},
    {kCtrl, 'O', 7},          {kCtrl, 'P', 201},       {kCtrl, 'R', 208},
    {kCtrl, 'S', 203},        {kCtrl, 'V', 102},       {kPlain, VK_DELETE, 103},
    {kShift, VK_DELETE, 100}, {kCtrl, VK_INSERT, 101}, {kShift, VK_INSERT, 102},
    {kCtrl, 'W', 202},        {kCtrl, 'X', 100},        {kCtrl | FSHIFT, 'S', 602},
    {kPlain, VK_HOME, 400},   {kShift, VK_HOME, 401},  {kCtrl, VK_HOME, 402},
    {kPlain, VK_F1, 600},
};

const DialogTemplate kAboutBox = {
    "AboutBox",
    "About",
    22,
    17,
    195,
    95,
    "MS UI Gothic",
    9,
    {
        {DialogControl::CenteredText, -1, 30, 35, 127, 20,
         "By the SolluxViewer authors.\nFree to use and to share."},
        {DialogControl::DefaultButton, IDOK, 49, 65, 95, 20, "OK"},
        {DialogControl::Icon, -1, 5, 5, 18, 21, "ViewerIcon"},
        {DialogControl::Text, -1, 40, 10, 80, 10, "Sollux Viewer ver.0.91"},
    },
};

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

void fill(Menu& menu, const MenuTemplateItem* items, int count) {
    for (int i = 0; i < count; ++i) {
        MenuItem item;
        if (items[i].text == nullptr) {
            item.separator = true;
        } else {
            item.text = items[i].text;
            item.id = items[i].id;
            item.state = items[i].state & (MF_CHECKED | MF_GRAYED);
            if (items[i].popup != nullptr) {
                item.popup = std::make_unique<Menu>();
                fill(*item.popup, items[i].popup, items[i].popupCount);
            }
        }
        menu.items.push_back(std::move(item));
    }
}

}  // namespace

std::string resourceName(LPCSTR name) {
    if (name == nullptr) return {};
    if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<UINT_PTR>(name));
    return name;
}

std::unique_ptr<Menu> loadMenuTemplate(const std::string& name) {
    if (!sameName(name, "ViewerMenu")) return nullptr;
    auto menu = std::make_unique<Menu>();
    fill(*menu, kViewerMenu, static_cast<int>(sizeof(kViewerMenu) / sizeof(kViewerMenu[0])));
    return menu;
}

const std::vector<ACCEL>* findAccelerators(const std::string& name) {
    return sameName(name, "ViewerAccel") ? &kViewerAccel : nullptr;
}

const DialogTemplate* findDialogTemplate(const std::string& name) {
    return sameName(name, "AboutBox") ? &kAboutBox : nullptr;
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
