#include "input/keys_help.h"

#include "platform/win/win32.h"

namespace {

struct Line {
    const char* keys;  // null: `what` is a group's title
    const char* what;
};

// Every accelerator of the menus is here under its menu; a test holds the two together.
const Line kTable[] = {
    {nullptr, "Menu keys"},
    {"Ctrl+O", "File > Open Rokkaku (a .rok file is converted to .x beside it)"},
    {"Ctrl+Shift+S", "File > Save Scene As (the scene as shown, as a .x text file)"},
    {"Ctrl+A", "Help > About"},
    {"F1", "Help > Keys and mouse (this table)"},
    {"Ctrl+L", "Render > Lighting on or off"},
    {"Ctrl+P, Ctrl+W, Ctrl+S", "Render > Points, Wireframe, Solid"},
    {"Ctrl+F, Ctrl+G, Ctrl+H", "Render > Flat, Gouraud, Phong shading"},
    {"Ctrl+M, Ctrl+R", "Render > Ramp, RGB colour model"},
    {"Ctrl+D", "Render > Dithering on or off"},
    {"Ctrl+B", "Scene > Selection box on or off"},
    {"Ctrl+X, Shift+Del", "Scene > Cut the selected object"},
    {"Ctrl+C, Ctrl+Ins", "Scene > Copy the selected object"},
    {"Ctrl+V, Shift+Ins", "Scene > Paste the cut or copied object"},
    {"Del", "Scene > Delete the selected object"},
    {"Home", "View > Frame all: everything in the scene fills the window"},
    {"Shift+Home", "View > Frame selection: the selected object fills the window"},
    {"Ctrl+Home", "View > Reset camera: the start-up view"},
    {"", "(the View commands also stop the camera's flight)"},
    {nullptr, "Camera and selection keys"},
    {"Left, Right, Up, Down", "fly the camera sideways, up or down while held"},
    {"T, R", "fly the camera forward, backward while held"},
    {"E, Y", "fly fast forward, backward, until an arrow, T or R is released or a View command"},
    {"X, Z", "move the selected object away, nearer while held"},
    {"Keypad +, Keypad -", "grow, shrink the selected object by 10 %"},
    {nullptr, "Mouse"},
    {"click", "select the object under the mouse (empty space: nothing)"},
    {"left drag", "turn the selected object"},
    {"Shift+left drag", "spin it; it keeps spinning after the release"},
    {"right drag", "move the camera forward and back"},
    {"Shift+right drag", "slide the selected object across the window"},
    {"wheel", "move the camera along its view toward the scene's centre"},
    {"middle drag", "orbit the camera round the scene's centre"},
    {"dropped files", "open each, as File > Open Rokkaku does"},
};

constexpr size_t kKeyColumn = 24;

}  // namespace

std::string keysAndMouseText(bool columns) {
    std::string text;
    for (const Line& line : kTable) {
        if (line.keys == nullptr) {
            if (!text.empty()) text += '\n';
            text += line.what;
        } else if (columns) {
            std::string keys = std::string("  ") + line.keys;
            // Keys too wide for the column get a line of their own.
            if (keys.size() + 2 > kKeyColumn) keys += "\n";
            else keys.resize(kKeyColumn, ' ');
            if (keys.back() == '\n') keys.append(kKeyColumn, ' ');
            text += keys + line.what;
        } else {
            text += *line.keys ? std::string(line.keys) + ": " + line.what : std::string(line.what);
        }
        text += '\n';
    }
    return text;
}

void showKeysAndMouse(HWND window) {
    const std::string text = keysAndMouseText(false);
    MessageBoxA(window, text.c_str(), kKeysAndMouseCaption, MB_OK | MB_ICONINFORMATION);
}
