#include "viewer/texture_callback.h"

#include <cstring>

#include "platform/rm/rm_extras.h"
#include "platform/win/win32.h"
#include "viewer/viewer_state.h"

const char* findLastChar(const char* text, char c) {
    if (!text) return nullptr;
    const char* p = text + std::strlen(text);
    // Compared as signed 8-bit values widened to int.
    const int wanted = static_cast<signed char>(c);
    for (;;) {
        if (static_cast<signed char>(*p) == wanted) return p;
        if (p == text) return nullptr;
        --p;
    }
}

char* findLastChar(char* text, char c) {
    return const_cast<char*>(findLastChar(static_cast<const char*>(text), c));
}

bool textureNameAccepted(const char* name) {
    if (anyPictureFormat()) return true;
    const char* extension = findLastChar(name, '.');
    if (!extension) return false;
    return lstrcmpiA(extension, ".ppm") == 0 || lstrcmpiA(extension, ".bmp") == 0;
}

HRESULT loadTextureCallback(char* name, void* arg, IDirect3DRMTexture** texture) {
    (void)arg;
    if (!textureNameAccepted(name)) return -1;
    // Without the retained-mode object there is nothing to load with.
    if (!d3drm) return D3DRMERR_BADOBJECT;
    return d3drm->LoadTexture(name, texture);
}

void setAnyPictureFormat(bool on) { rm::setAnyTextureFormat(on); }
bool anyPictureFormat() { return rm::anyTextureFormat(); }
