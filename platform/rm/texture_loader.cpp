// IDirect3DRM::LoadTexture: finding the file and decoding it.
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "platform/rm/objects.h"
#include "platform/rm/texture_image.h"

namespace rm {

namespace fs = std::filesystem;

namespace {

std::string& textureFolder() {
    static std::string folder;
    return folder;
}

DWORD defaultColors = 8;
DWORD defaultShades = 16;
bool anyFormat = false;

bool isRegularFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// The path itself, or the file whose components differ from it only in case.
std::optional<fs::path> findFile(const fs::path& p) {
    if (isRegularFile(p)) return p;
    fs::path found = p.is_absolute() ? p.root_path() : fs::path();
    for (const fs::path& part : p.relative_path()) {
        std::string name = part.string();
        if (name.empty() || name == "." || name == "..") {
            found /= part;
            continue;
        }
        fs::path exact = found / part;
        std::error_code ec;
        if (fs::exists(exact, ec)) {
            found = exact;
            continue;
        }
        bool matched = false;
        fs::directory_iterator it(found.empty() ? fs::path(".") : found, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (sameIgnoringCase(it->path().filename().string(), name)) {
                found /= it->path().filename();
                matched = true;
                break;
            }
        }
        if (!matched) return std::nullopt;
    }
    if (isRegularFile(found)) return found;
    return std::nullopt;
}

}  // namespace

TextureFolderScope::TextureFolderScope(const std::string& xFilePath) : previous_(textureFolder()) {
    fs::path p(xFilePath);
    // A bare file name lies in the current folder: it is looked in as "./name" would be.
    textureFolder() = p.has_parent_path() ? p.parent_path().string() : xFilePath.empty() ? std::string() : ".";
}

TextureFolderScope::~TextureFolderScope() { textureFolder() = previous_; }

void setDefaultTextureValues(DWORD colors, DWORD shades) {
    defaultColors = colors;
    defaultShades = shades;
}
DWORD defaultTextureColors() { return defaultColors; }
DWORD defaultTextureShades() { return defaultShades; }

void setAnyTextureFormat(bool on) { anyFormat = on; }
bool anyTextureFormat() { return anyFormat; }

// Names come from files written on Windows: backslashes separate folders and names
// are matched without regard to case. The name is looked up as given,
// then in the folder of the .x file being loaded.
std::optional<std::string> resolveTexturePath(const std::string& name) {
    std::string norm = name;
    for (char& c : norm)
        if (c == '\\') c = '/';
    fs::path given(norm);
    if (auto found = findFile(given)) return found->string();
    const std::string& folder = textureFolder();
    if (!folder.empty() && given.is_relative()) {
        if (auto found = findFile(fs::path(folder) / given)) return found->string();
        if (given.has_parent_path())
            if (auto found = findFile(fs::path(folder) / given.filename())) return found->string();
    }
    return std::nullopt;
}

bool findTextureFile(const char* name, std::string& path) {
    if (!name || !*name) return false;
    std::optional<std::string> found = resolveTexturePath(name);
    if (found) path = *found;
    return found.has_value();
}

HRESULT loadTextureFile(const char* name, DWORD colors, DWORD shades, IDirect3DRMTexture** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (!name || !*name) return D3DRMERR_BADVALUE;
    std::optional<std::string> path = resolveTexturePath(name);
    if (!path) return D3DRMERR_FILENOTFOUND;
    textureimage::Image image;
    switch (textureimage::loadFile(*path, image, nullptr,
                                   anyFormat ? textureimage::Formats::Any : textureimage::Formats::BmpPpm)) {
        case textureimage::Status::Ok: break;
        case textureimage::Status::FileNotFound: return D3DRMERR_FILENOTFOUND;
        case textureimage::Status::BadFile: return D3DRMERR_BADFILE;
    }
    auto* t = new Texture;
    t->data.width = image.width;
    t->data.height = image.height;
    t->data.rgba = std::move(image.rgba);
    t->data.colors = colors;
    t->data.shades = shades;
    t->data.sourcePath = *path;
    t->SetName(name);
    *out = t;
    return D3DRM_OK;
}

}  // namespace rm
