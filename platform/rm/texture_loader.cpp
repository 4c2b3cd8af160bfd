// IDirect3DRM::LoadTexture: finding the file and decoding it.
//
// During a load, what the load found is kept until it ends: each folder's listing (read
// once, however many names miss in it) and each picture file's texture, by the file's
// identity rather than its name, so that a picture named four ways is decoded once. The
// decoded pixels of the load's distinct pictures are charged to the load's cost account.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/regular_file.h"
#include "platform/rm/objects.h"
#include "platform/rm/rm_internal.h"
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
std::string confinedFolder;  // empty: names are looked up as given, then in the load's folder

std::string lowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

}  // namespace

using Identity = std::pair<dev_t, ino_t>;

// What one load has found so far; shared by the loads nested in it.
struct LoadMemo {
    // Folder -> its entries by lower-case name (the first entry of each such name).
    std::map<std::string, std::unordered_map<std::string, std::string>> listings;
    // Picture file, colours, shades, formats -> its texture (a reference held), or null
    // for a picture that could not be used.
    std::map<std::tuple<dev_t, ino_t, DWORD, DWORD, bool>, IDirect3DRMTexture*> textures;
    std::map<std::pair<Identity, bool>, std::pair<textureimage::Status, std::string>> probes;
    std::set<Identity> charged;  // pictures whose pixels the account holds

    ~LoadMemo() {
        for (auto& [key, t] : textures)
            if (t) t->Release();
    }
    const std::unordered_map<std::string, std::string>& listing(const fs::path& folder) {
        const std::string key = folder.empty() ? std::string(".") : folder.string();
        auto it = listings.find(key);
        if (it != listings.end()) return it->second;
        std::unordered_map<std::string, std::string>& names = listings[key];
        std::error_code ec;
        fs::directory_iterator entry(key, ec), end;
        for (; !ec && entry != end; entry.increment(ec)) {
            std::string name = entry->path().filename().string();
            names.emplace(lowerCase(name), name);
        }
        return names;
    }
};

namespace {

LoadMemo*& currentMemo() {
    static LoadMemo* memo = nullptr;
    return memo;
}

CostAccount*& currentAccount() {
    static CostAccount* account = nullptr;
    return account;
}

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
        if (LoadMemo* memo = currentMemo()) {
            const auto& names = memo->listing(found);
            auto it = names.find(lowerCase(name));
            if (it == names.end()) return std::nullopt;
            found /= it->second;
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

// Whether path, once its links are followed, lies in folder or below it.
bool inside(const std::string& folder, const fs::path& path) {
    std::unique_ptr<char, decltype(&std::free)> root(realpath(folder.c_str(), nullptr), std::free),
        file(realpath(path.c_str(), nullptr), std::free);
    if (!root || !file) return false;
    std::string prefix = root.get();
    if (prefix.back() != '/') prefix += '/';
    return std::string(file.get()).starts_with(prefix);
}

// The name looked up only in the confined folder and below: never an absolute path, never
// a way up, and never a link that leads out.
std::optional<std::string> resolveConfined(const fs::path& given) {
    if (given.empty() || given.has_root_path()) return std::nullopt;
    for (const fs::path& part : given)
        if (part == "..") return std::nullopt;
    const fs::path folder(confinedFolder);
    for (const fs::path& candidate : {folder / given, folder / given.filename()}) {
        if (auto found = findFile(candidate); found && inside(confinedFolder, *found)) return found->string();
        if (!given.has_parent_path()) break;
    }
    return std::nullopt;
}

}  // namespace

TextureFolderScope::TextureFolderScope(const std::string& xFilePath) : previous_(textureFolder()) {
    fs::path p(xFilePath);
    // A bare file name lies in the current folder: it is looked in as "./name" would be.
    textureFolder() = p.has_parent_path() ? p.parent_path().string() : xFilePath.empty() ? std::string() : ".";
    if (!currentMemo()) currentMemo() = ownMemo_ = new LoadMemo;
}

TextureFolderScope::~TextureFolderScope() {
    textureFolder() = previous_;
    if (ownMemo_) {
        currentMemo() = nullptr;
        delete ownMemo_;
    }
}

void confineTextureLookup(const std::string& folder) { confinedFolder = folder; }
TexturePixelCharge::TexturePixelCharge(CostAccount& account) : previous_(std::exchange(currentAccount(), &account)) {}
TexturePixelCharge::~TexturePixelCharge() { currentAccount() = previous_; }

textureimage::Status loadTexturePicture(const std::string& path, textureimage::Formats formats,
                                        textureimage::Image* image, std::string* why) {
    FileOpening opening;
    const int fd = openRegularFile(path.c_str(), &opening);
    if (fd < 0) {
        if (why) *why = fileOpeningMessage(opening, path);
        return textureimage::Status::FileNotFound;
    }
    struct stat st {};
    ::fstat(fd, &st);
    const Identity id{st.st_dev, st.st_ino};
    LoadMemo* memo = currentMemo();
    const bool any = formats == textureimage::Formats::Any;
    if (memo && !image) {
        auto it = memo->probes.find({id, any});
        if (it != memo->probes.end()) {
            ::close(fd);
            if (why) *why = it->second.second;
            return it->second.first;
        }
    }
    textureimage::Image local;
    textureimage::Image& out = image ? *image : local;
    CostAccount* account = memo ? currentAccount() : nullptr;
    const bool charged = memo && memo->charged.count(id);
    std::string message;
    textureimage::Status s;
    if (account && !charged && account->over()) {
        // The load is refused already: nothing new is decoded for it.
        ::close(fd);
        s = textureimage::Status::BadFile;
        message = path + ": " + account->refusal();
    } else {
        s = textureimage::loadOpenFile(fd, path, out, &message, formats);
        if (s == textureimage::Status::Ok && account && !charged) {
            if (account->charge(Cost::TexturePixels, uint64_t(out.width) * uint64_t(out.height))) {
                memo->charged.insert(id);
            } else {
                out = textureimage::Image{};
                s = textureimage::Status::BadFile;
                message = path + ": " + account->refusal();
            }
        }
    }
    if (memo) memo->probes[{id, any}] = {s, message};
    if (why) *why = message;
    return s;
}

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
    if (!confinedFolder.empty()) return resolveConfined(given);
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
    // The picture file's identity, for the load's memo: the same file under another name
    // is the texture already made.
    LoadMemo* memo = currentMemo();
    std::tuple<dev_t, ino_t, DWORD, DWORD, bool> key{};
    if (memo) {
        struct stat st;
        if (::stat(path->c_str(), &st) == 0) {
            key = {st.st_dev, st.st_ino, colors, shades, anyFormat};
            auto it = memo->textures.find(key);
            if (it != memo->textures.end()) {
                if (!it->second) return D3DRMERR_BADFILE;
                it->second->AddRef();
                *out = it->second;
                return D3DRM_OK;
            }
        } else {
            memo = nullptr;
        }
    }
    textureimage::Image image;
    switch (loadTexturePicture(*path, anyFormat ? textureimage::Formats::Any : textureimage::Formats::BmpPpm,
                               &image, nullptr)) {
        case textureimage::Status::Ok: break;
        case textureimage::Status::FileNotFound: return D3DRMERR_FILENOTFOUND;
        case textureimage::Status::BadFile:
            if (memo) memo->textures[key] = nullptr;
            return D3DRMERR_BADFILE;
    }
    auto* t = new Texture;
    t->data.width = image.width;
    t->data.height = image.height;
    t->data.rgba = std::move(image.rgba);
    t->data.colors = colors;
    t->data.shades = shades;
    t->data.sourcePath = *path;
    t->SetName(name);
    if (memo) {
        t->AddRef();
        memo->textures[key] = t;
    }
    *out = t;
    return D3DRM_OK;
}

}  // namespace rm
