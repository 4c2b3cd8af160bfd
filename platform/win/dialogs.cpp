// Message boxes, the Open and colour dialogs and template dialogs. The backend shows them;
// this file checks the caller's structures and fills in the answers as Win32 does.
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/win/win_internal.h"

namespace win {
namespace {

DWORD lastDialogError = 0;
constexpr DWORD kCderrStructSize = 0x0001;
constexpr DWORD kCderrInitialization = 0x0002;
constexpr DWORD kFnerrBufferTooSmall = 0x3003;

std::vector<std::pair<std::string, std::string>> parseFilters(LPCSTR filter) {
    std::vector<std::pair<std::string, std::string>> out;
    if (filter == nullptr) return out;
    // Pairs of NUL-terminated strings, ended by an empty string; read at most 64 pairs.
    const char* p = filter;
    for (int i = 0; i < 64 && *p != '\0'; ++i) {
        std::string description = p;
        p += description.size() + 1;
        std::string pattern = p;
        p += pattern.size() + (pattern.empty() ? 0 : 1);
        out.emplace_back(description, pattern);
        if (pattern.empty()) break;
    }
    return out;
}

LRESULT CALLBACK dialogWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || w->dialogProc == nullptr) return 0;
    return w->dialogProc(hwnd, message, wParam, lParam);
}

void recordDialog(const WinDialogRecord& record) {
    state().dialogs.push_back(record);
    if (state().dialogHook) state().dialogHook(record);
}

}  // namespace
}  // namespace win

using namespace win;

namespace {
std::string nextMessageBoxDetail;
}  // namespace

void winSetNextMessageBoxDetail(LPCSTR detail) { nextMessageBoxDetail = detail == nullptr ? "" : detail; }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    WinMessageBoxRecord box{owner, caption == nullptr ? "Error" : caption,
                            text == nullptr ? "" : text, type, std::move(nextMessageBoxDetail)};
    nextMessageBoxDetail.clear();
    state().messageBoxes.push_back(box);
    // Written out as well, so that nothing reported is lost when no one looks at a screen.
    // Line ends lose their carriage returns, which a terminal would show as stray returns.
    std::string shown;
    for (char c : box.text) {
        if (c != '\r') shown += c;
    }
    std::fprintf(stderr, "%s: %s", box.caption.c_str(), shown.c_str());
    if (shown.empty() || shown.back() != '\n') std::fputc('\n', stderr);
    std::fflush(stderr);
    return backend().messageBox(box);
}

namespace {

BOOL fileNameDialog(LPOPENFILENAMEA ofn, bool save) {
    lastDialogError = 0;
    // 76 is the documented size of the structure's first version; every field we read is in it.
    if (ofn == nullptr || ofn->lStructSize < 76) {
        lastDialogError = kCderrStructSize;
        return FALSE;
    }
    if (ofn->lpstrFile == nullptr || ofn->nMaxFile == 0) {
        lastDialogError = kCderrInitialization;
        return FALSE;
    }
    OpenFileRequest request;
    request.owner = ofn->hwndOwner;
    request.title = ofn->lpstrTitle != nullptr ? ofn->lpstrTitle : save ? "Save As" : "Open";
    request.save = save;
    request.filters = parseFilters(ofn->lpstrFilter);
    request.filterIndex = static_cast<int>(ofn->nFilterIndex);
    request.initialName = std::string(ofn->lpstrFile, strnlen(ofn->lpstrFile, ofn->nMaxFile));
    request.initialDir = ofn->lpstrInitialDir == nullptr ? "" : ofn->lpstrInitialDir;
    request.defaultExtension = ofn->lpstrDefExt == nullptr ? "" : ofn->lpstrDefExt;
    request.flags = ofn->Flags;

    // The owner takes no input while its dialog is open.
    Window* owner = windowFrom(ofn->hwndOwner);
    const bool wasEnabled = owner != nullptr && owner->enabled;
    if (owner != nullptr) owner->enabled = false;
    std::optional<std::string> chosen = backend().openFile(request);
    if ((owner = windowFrom(ofn->hwndOwner)) != nullptr)
        owner->enabled = wasEnabled || owner->enabled;

    bool refused = false;
    if (chosen) {
        namespace fs = std::filesystem;
        fs::path path(*chosen);
        // A name typed without an extension gets the default one.
        if (!request.defaultExtension.empty() && !path.has_extension()) {
            fs::path withExt = path;
            withExt += "." + request.defaultExtension;
            std::error_code ec;
            if (!(request.flags & OFN_FILEMUSTEXIST) || fs::exists(withExt, ec) ||
                !fs::exists(path, ec))
                path = withExt;
        }
        std::error_code ec;
        if (path.is_relative()) path = fs::absolute(path, ec);
        const bool mustExist = !save && (request.flags & OFN_FILEMUSTEXIST) != 0;
        const bool folderMustExist = (request.flags & OFN_PATHMUSTEXIST) != 0;
        if ((mustExist && !fs::is_regular_file(path, ec)) ||
            (folderMustExist && !fs::is_directory(path.parent_path(), ec))) {
            std::fprintf(stderr, fs::exists(path, ec) ? "%s: %s is not a file.\n" : "%s: %s does not exist.\n",
                         save ? "Save" : "Open", path.string().c_str());
            chosen.reset();
            refused = true;
        } else {
            chosen = path.string();
        }
    }
    WinDialogRecord record{save ? WinDialogRecord::SaveFile : WinDialogRecord::OpenFile,
                           ofn->hwndOwner,
                           request.title,
                           {},
                           request.defaultExtension,
                           request.flags,
                           0,
                           chosen.value_or(""),
                           refused};
    for (const auto& [description, pattern] : request.filters) {
        if (!record.filter.empty()) record.filter += '|';
        record.filter += description + '|' + pattern;
    }
    recordDialog(record);
    if (!chosen) return FALSE;

    const std::string& path = *chosen;
    if (path.size() + 1 > ofn->nMaxFile) {
        lastDialogError = kFnerrBufferTooSmall;
        return FALSE;
    }
    std::memcpy(ofn->lpstrFile, path.c_str(), path.size() + 1);
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of('.');
    ofn->nFileOffset = static_cast<WORD>(std::min<size_t>(nameStart, 0xffff));
    ofn->nFileExtension = static_cast<WORD>(dot == std::string::npos || dot < nameStart
                                                ? std::min<size_t>(path.size(), 0xffff)
                                                : std::min<size_t>(dot + 1, 0xffff));
    if (ofn->lpstrFileTitle != nullptr && ofn->nMaxFileTitle > 0) {
        lstrcpynA(ofn->lpstrFileTitle, path.c_str() + nameStart,
                  static_cast<int>(std::min<DWORD>(ofn->nMaxFileTitle, 0x7fffffff)));
    }
    if (!(ofn->Flags & OFN_NOCHANGEDIR) && nameStart > 0) {
        std::error_code ec;
        std::filesystem::current_path(path.substr(0, nameStart), ec);
    }
    return TRUE;
}

}  // namespace

BOOL GetOpenFileNameA(LPOPENFILENAMEA ofn) { return fileNameDialog(ofn, false); }
BOOL GetSaveFileNameA(LPOPENFILENAMEA ofn) { return fileNameDialog(ofn, true); }

BOOL ChooseColorA(LPCHOOSECOLORA cc) {
    lastDialogError = 0;
    if (cc == nullptr || cc->lStructSize < 36) {
        lastDialogError = kCderrStructSize;
        return FALSE;
    }
    if (cc->lpCustColors == nullptr) {
        lastDialogError = kCderrInitialization;
        return FALSE;
    }
    ColorRequest request;
    request.owner = cc->hwndOwner;
    request.initial = (cc->Flags & CC_RGBINIT) ? (cc->rgbResult & 0xFFFFFF) : 0;
    request.flags = cc->Flags;
    for (int i = 0; i < 16; ++i) request.custom[static_cast<size_t>(i)] = cc->lpCustColors[i];

    Window* owner = windowFrom(cc->hwndOwner);
    const bool wasEnabled = owner != nullptr && owner->enabled;
    if (owner != nullptr) owner->enabled = false;
    std::optional<COLORREF> chosen = backend().chooseColor(request);
    if ((owner = windowFrom(cc->hwndOwner)) != nullptr)
        owner->enabled = wasEnabled || owner->enabled;

    char answer[16] = "";
    if (chosen) {
        std::snprintf(answer, sizeof answer, "#%02X%02X%02X", GetRValue(*chosen),
                      GetGValue(*chosen), GetBValue(*chosen));
    }
    recordDialog(
        {WinDialogRecord::Color, cc->hwndOwner, "", "", "", cc->Flags, request.initial, answer});
    // Custom colours edited in the dialog go back to the caller's array either way.
    for (int i = 0; i < 16; ++i) cc->lpCustColors[i] = request.custom[static_cast<size_t>(i)];
    if (!chosen) return FALSE;
    cc->rgbResult = *chosen & 0xFFFFFF;
    return TRUE;
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC dialogProc,
                        LPARAM initParam) {
    const std::string name = resourceName(templateName);
    const DialogTemplate* tmpl = findDialogTemplate(name);
    if (tmpl == nullptr || dialogProc == nullptr) return -1;
    State& s = state();
    static const char* const kDialogClass = "#32770";
    if (s.classes.count(kDialogClass) == 0) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = dialogWindowProc;
        wc.lpszClassName = kDialogClass;
        RegisterClassA(&wc);
    }
    HWND hwnd =
        CreateWindowExA(0, kDialogClass, tmpl->caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU,
                        tmpl->x, tmpl->y, tmpl->cx, tmpl->cy, parent, nullptr, instance, nullptr);
    Window* dialog = windowFrom(hwnd);
    if (dialog == nullptr) return -1;
    dialog->dialogProc = dialogProc;
    dialog->dialogTemplate = name;

    Window* owner = windowFrom(parent);
    const bool wasEnabled = owner != nullptr && owner->enabled;
    if (owner != nullptr) owner->enabled = false;
    dialogProc(hwnd, WM_INITDIALOG, static_cast<WPARAM>(IDOK), initParam);
    if ((dialog = windowFrom(hwnd)) != nullptr && !dialog->dialogEnded) {
        ++s.modalDepth;
        backend().runDialog(*dialog);
        --s.modalDepth;
    }
    INT_PTR result = -1;
    if ((dialog = windowFrom(hwnd)) != nullptr) {
        result = dialog->dialogEnded ? dialog->dialogResult : IDCANCEL;
        DestroyWindow(hwnd);
    }
    if ((owner = windowFrom(parent)) != nullptr) owner->enabled = wasEnabled || owner->enabled;
    recordDialog({WinDialogRecord::Dialog, parent, name, "", "", 0, 0, std::to_string(result)});
    return result;
}

BOOL EndDialog(HWND hwnd, INT_PTR result) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || w->dialogProc == nullptr) return FALSE;
    w->dialogEnded = true;
    w->dialogResult = result;
    return TRUE;
}

DWORD CommDlgExtendedError() { return lastDialogError; }
