// The GDI subset: device contexts, fonts, text and fills drawn onto the window's picture.
#include <algorithm>
#include <cstring>

#include "platform/win/picture.h"
#include "platform/win/win_internal.h"

namespace win {
namespace {

struct GdiState {
    std::map<UINT_PTR, std::unique_ptr<DeviceContext>> dcs;
    UINT_PTR nextDc = 0x10;
    std::map<const Font*, std::unique_ptr<Font>> fonts;
};

GdiState& gdi() {
    static GdiState g;
    return g;
}

// Stock objects: brushes are their colour plus one; fonts are static.
constexpr UINT_PTR kStockBase = 0x5000;
Font& stockFont() {
    static Font f{0, FW_NORMAL, "System", true};
    return f;
}

DeviceContext* dcFrom(HDC hdc) {
    auto& dcs = gdi().dcs;
    auto it = dcs.find(reinterpret_cast<UINT_PTR>(hdc));
    return it == dcs.end() ? nullptr : it->second.get();
}

Font* fontFrom(HGDIOBJ object) {
    if (object == &stockFont()) return &stockFont();
    auto& fonts = gdi().fonts;
    auto it = fonts.find(static_cast<const Font*>(object));
    return it == fonts.end() ? nullptr : it->second.get();
}

HDC newDc(HWND hwnd) {
    auto dc = std::make_unique<DeviceContext>();
    dc->hwnd = hwnd;
    const UINT_PTR id = gdi().nextDc++;
    gdi().dcs[id] = std::move(dc);
    return reinterpret_cast<HDC>(id);
}

std::optional<COLORREF> brushColor(HBRUSH brush) {
    const UINT_PTR v = reinterpret_cast<UINT_PTR>(brush);
    switch (v) {
        case kStockBase + WHITE_BRUSH:
            return RGB(255, 255, 255);
        case kStockBase + LTGRAY_BRUSH:
            return RGB(192, 192, 192);
        case kStockBase + GRAY_BRUSH:
            return RGB(128, 128, 128);
        case kStockBase + DKGRAY_BRUSH:
            return RGB(64, 64, 64);
        case kStockBase + BLACK_BRUSH:
            return RGB(0, 0, 0);
        default:
            return std::nullopt;
    }
}

Window* targetWindow(DeviceContext* dc) { return dc == nullptr ? nullptr : windowFrom(dc->hwnd); }

}  // namespace
}  // namespace win

using namespace win;

HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT paint) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || paint == nullptr) return nullptr;
    std::memset(paint, 0, sizeof *paint);
    paint->rcPaint = w->updatePending ? w->updateRect : RECT{0, 0, 0, 0};
    HDC hdc = newDc(hwnd);
    paint->hdc = hdc;
    const bool erase = w->erasePending;
    w->erasePending = false;
    if (erase)
        paint->fErase = SendMessageA(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0) == 0;
    if ((w = windowFrom(hwnd)) != nullptr) w->updatePending = false;
    return hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
    if (paint != nullptr) ReleaseDC(hwnd, paint->hdc);
    return TRUE;
}

HDC GetDC(HWND hwnd) {
    if (hwnd != nullptr && windowFrom(hwnd) == nullptr) return nullptr;
    return newDc(hwnd);
}

int ReleaseDC(HWND, HDC hdc) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr) return 0;
    if (Window* w = targetWindow(dc)) backend().pictureChanged(*w);
    gdi().dcs.erase(reinterpret_cast<UINT_PTR>(hdc));
    return 1;
}

int GetDeviceCaps(HDC hdc, int index) {
    if (dcFrom(hdc) == nullptr) return 0;
    const RECT area = backend().workArea();
    switch (index) {
        case BITSPIXEL:
            return backend().bitsPerPixel();
        case PLANES:
            return 1;
        case HORZRES:
            return area.right - area.left;
        case VERTRES:
            return area.bottom - area.top;
        default:
            return 0;
    }
}

HGDIOBJ GetStockObject(int object) {
    switch (object) {
        case WHITE_BRUSH:
        case LTGRAY_BRUSH:
        case GRAY_BRUSH:
        case DKGRAY_BRUSH:
        case BLACK_BRUSH:
        case NULL_BRUSH:
        case WHITE_PEN:
        case BLACK_PEN:
            return reinterpret_cast<HGDIOBJ>(kStockBase + static_cast<UINT_PTR>(object));
        case ANSI_FIXED_FONT:
        case ANSI_VAR_FONT:
        case SYSTEM_FONT:
        case SYSTEM_FIXED_FONT:
        case DEFAULT_GUI_FONT:
            return &stockFont();
        default:
            return nullptr;
    }
}

HFONT CreateFontA(int height, int, int, int, int weight, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                  DWORD, DWORD, LPCSTR faceName) {
    auto font = std::make_unique<Font>();
    font->height = height;
    font->weight = weight;
    font->face = faceName == nullptr ? "" : faceName;
    Font* raw = font.get();
    gdi().fonts[raw] = std::move(font);
    return reinterpret_cast<HFONT>(raw);
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr || object == nullptr) return nullptr;
    if (Font* font = fontFrom(object)) {
        HGDIOBJ previous =
            dc->font != nullptr ? static_cast<HGDIOBJ>(dc->font) : GetStockObject(SYSTEM_FONT);
        dc->font = font->stock ? nullptr : font;
        return previous;
    }
    if (brushColor(reinterpret_cast<HBRUSH>(object)) || object == GetStockObject(NULL_BRUSH)) {
        return GetStockObject(WHITE_BRUSH);
    }
    return nullptr;
}

BOOL DeleteObject(HGDIOBJ object) {
    if (object == nullptr) return FALSE;
    Font* font = fontFrom(object);
    if (font == nullptr) return reinterpret_cast<UINT_PTR>(object) >= kStockBase ? TRUE : FALSE;
    if (font->stock) return TRUE;
    // A DC still holding the font falls back to the default one instead of dangling.
    for (auto& [id, dc] : gdi().dcs) {
        if (dc->font == font) dc->font = nullptr;
    }
    gdi().fonts.erase(font);
    return TRUE;
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr) return CLR_INVALID;
    const COLORREF old = dc->textColor;
    dc->textColor = color;
    return old;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr) return CLR_INVALID;
    const COLORREF old = dc->bkColor;
    dc->bkColor = color;
    return old;
}

int SetBkMode(HDC hdc, int mode) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr || (mode != OPAQUE && mode != TRANSPARENT)) return 0;
    const int old = dc->bkMode;
    dc->bkMode = mode;
    return old;
}

BOOL GetTextExtentPoint32A(HDC hdc, LPCSTR text, int length, LPSIZE size) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr || size == nullptr || length < 0 || (text == nullptr && length > 0))
        return FALSE;
    *size = textExtent(dc->font, text, length);
    return TRUE;
}

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int length) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr || length < 0 || (text == nullptr && length > 0)) return FALSE;
    Window* w = targetWindow(dc);
    if (w == nullptr) return TRUE;  // the screen DC has nothing of ours to draw on
    std::optional<COLORREF> bk;
    if (dc->bkMode == OPAQUE) bk = dc->bkColor & 0xFFFFFF;
    drawText(*w, dc->font, x, y, text, length, dc->textColor & 0xFFFFFF, bk, nullptr);
    return TRUE;
}

int DrawTextA(HDC hdc, LPCSTR text, int length, LPRECT rect, UINT format) {
    DeviceContext* dc = dcFrom(hdc);
    if (dc == nullptr || rect == nullptr || text == nullptr) return 0;
    if (length < 0) length = lstrlenA(text);
    // One line: the text stops at the first line break unless DT_SINGLELINE.
    if (!(format & DT_SINGLELINE)) {
        const void* nl = std::memchr(text, '\n', static_cast<size_t>(length));
        if (nl != nullptr) length = static_cast<int>(static_cast<const char*>(nl) - text);
        if (length > 0 && text[length - 1] == '\r') --length;
    }
    const SIZE extent = textExtent(dc->font, text, length);
    if (format & DT_CALCRECT) {
        rect->right = rect->left + extent.cx;
        rect->bottom = rect->top + extent.cy;
        return extent.cy;
    }
    LONG x = rect->left, y = rect->top;
    if (format & DT_CENTER)
        x = rect->left + (rect->right - rect->left - extent.cx) / 2;
    else if (format & DT_RIGHT)
        x = rect->right - extent.cx;
    if (format & DT_SINGLELINE) {
        if (format & DT_VCENTER)
            y = rect->top + (rect->bottom - rect->top - extent.cy) / 2;
        else if (format & DT_BOTTOM)
            y = rect->bottom - extent.cy;
    }
    if (Window* w = targetWindow(dc)) {
        std::optional<COLORREF> bk;
        if (dc->bkMode == OPAQUE) bk = dc->bkColor & 0xFFFFFF;
        drawText(*w, dc->font, x, y, text, length, dc->textColor & 0xFFFFFF, bk,
                 (format & DT_NOCLIP) ? nullptr : rect);
    }
    return extent.cy;
}

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    DeviceContext* dc = dcFrom(hdc);
    std::optional<COLORREF> color = brushColor(brush);
    if (dc == nullptr || rect == nullptr || !color) return 0;
    Window* w = targetWindow(dc);
    if (w == nullptr || w->picture.empty()) return 1;
    const LONG left = std::max<LONG>(0, rect->left), top = std::max<LONG>(0, rect->top);
    const LONG right = std::min<LONG>(w->clientWidth, rect->right),
               bottom = std::min<LONG>(w->clientHeight, rect->bottom);
    for (LONG y = top; y < bottom; ++y) {
        for (LONG x = left; x < right; ++x) {
            unsigned char* p =
                &w->picture[(static_cast<size_t>(y) * static_cast<size_t>(w->clientWidth) +
                             static_cast<size_t>(x)) *
                            4];
            p[0] = GetRValue(*color);
            p[1] = GetGValue(*color);
            p[2] = GetBValue(*color);
            p[3] = 255;
        }
    }
    return 1;
}

void winPresentPicture(HWND hwnd, const unsigned char* rgba, int width, int height) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || rgba == nullptr || width <= 0 || height <= 0) return;
    backend().waitForRefresh();
    if (!resizePicture(*w)) return;
    const size_t cw = static_cast<size_t>(w->clientWidth);
    const size_t rowBytes = std::min<size_t>(cw, static_cast<size_t>(width)) * 4;
    for (size_t y = 0; y < static_cast<size_t>(w->clientHeight); ++y) {
        unsigned char* dst = w->picture.data() + y * cw * 4;
        size_t copied = 0;
        if (y < static_cast<size_t>(height)) {
            std::memcpy(dst, rgba + y * static_cast<size_t>(width) * 4, rowBytes);
            copied = rowBytes;
        }
        for (size_t i = copied; i < cw * 4; i += 4) {
            dst[i] = dst[i + 1] = dst[i + 2] = 0;
            dst[i + 3] = 255;
        }
    }
    backend().pictureChanged(*w);
}

bool winReadPicture(HWND hwnd, std::vector<unsigned char>& rgba, int& width, int& height) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || w->clientWidth <= 0 || w->clientHeight <= 0 || !resizePicture(*w)) return false;
    rgba = w->picture;
    // The window is opaque whatever alpha the device handed over.
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    width = w->clientWidth;
    height = w->clientHeight;
    return true;
}
