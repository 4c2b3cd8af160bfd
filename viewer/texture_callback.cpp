#include "viewer/texture_callback.h"

#include <cstring>

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

HRESULT loadTextureCallback(char* name, void* arg, IDirect3DRMTexture** texture) {
    (void)arg;
    const char* extension = findLastChar(name, '.');
    if (!extension) return -1;
    if (lstrcmpiA(extension, ".ppm") != 0 && lstrcmpiA(extension, ".bmp") != 0) return -1;
    // Without the retained-mode object there is nothing to load with.
    if (!d3drm) return D3DRMERR_BADOBJECT;
    return d3drm->LoadTexture(name, texture);
}
