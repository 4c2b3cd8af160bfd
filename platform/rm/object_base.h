// Reference counting, names and destroy callbacks shared by every retained-mode object.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/rm/d3drm.h"

namespace rm {

void noteObjectCreated();
void noteObjectDestroyed();
uint64_t nextObjectSerial();
// Objects that can be found by name (IDirect3DRM::GetNamedObject).
void registerObject(IDirect3DRMObject* object);
void unregisterObject(IDirect3DRMObject* object);
IDirect3DRMObject* findNamedObject(const char* name);  // borrowed

// Base of every object: Iface is the main interface it implements.
template <class Iface>
class RefCounted : public Iface {
public:
    RefCounted() : serial_(nextObjectSerial()) { noteObjectCreated(); }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    uint64_t serial() const { return serial_; }

protected:
    ~RefCounted() override { noteObjectDestroyed(); }

private:
    ULONG refs_ = 1;
    uint64_t serial_;
};

// Hands out `self` (AddRef'd) when riid is one of the listed IIDs.
inline HRESULT answerQuery(IUnknown* self, REFIID riid, void** out, std::initializer_list<const GUID*> iids) {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (const GUID* iid : iids)
        if (IsEqualGUID(*iid, riid)) {
            self->AddRef();
            *out = self;
            return S_OK;
        }
    return E_NOINTERFACE;
}

template <class Iface>
class RmObject : public RefCounted<Iface> {
public:
    RmObject() { registerObject(this); }
    HRESULT Clone(IUnknown*, REFIID, void** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT AddDestroyCallback(D3DRMOBJECTCALLBACK cb, void* arg) override {
        if (!cb) return D3DRMERR_BADVALUE;
        destroyCallbacks_.emplace_back(cb, arg);
        return D3DRM_OK;
    }
    HRESULT DeleteDestroyCallback(D3DRMOBJECTCALLBACK cb, void* arg) override {
        for (auto it = destroyCallbacks_.begin(); it != destroyCallbacks_.end(); ++it)
            if (it->first == cb && it->second == arg) {
                destroyCallbacks_.erase(it);
                return D3DRM_OK;
            }
        return D3DRMERR_NOTFOUND;
    }
    HRESULT SetAppData(DWORD data) override {
        appData_ = data;
        return D3DRM_OK;
    }
    DWORD GetAppData() override { return appData_; }
    HRESULT SetName(const char* name) override {
        name_ = name ? name : "";
        return D3DRM_OK;
    }
    HRESULT GetName(DWORD* size, char* buffer) override { return copyOut(name_, size, buffer); }
    HRESULT GetClassName(DWORD* size, char* buffer) override { return copyOut(className(), size, buffer); }

    const std::string& name() const { return name_; }
    virtual const char* className() const = 0;

protected:
    ~RmObject() override {
        unregisterObject(this);
        auto callbacks = std::move(destroyCallbacks_);
        for (auto& [cb, arg] : callbacks) cb(this, arg);
    }
    void copyObjectDataTo(RmObject& other) const {
        other.name_ = name_;
        other.appData_ = appData_;
    }

private:
    static HRESULT copyOut(const std::string& s, DWORD* size, char* buffer) {
        if (!size) return D3DRMERR_BADVALUE;
        DWORD needed = static_cast<DWORD>(s.size() + 1);
        if (buffer) {
            if (*size < needed) {
                *size = needed;
                return D3DRMERR_BADVALUE;
            }
            std::memcpy(buffer, s.c_str(), needed);
        }
        *size = needed;
        return D3DRM_OK;
    }

    std::vector<std::pair<D3DRMOBJECTCALLBACK, void*>> destroyCallbacks_;
    std::string name_;
    DWORD appData_ = 0;
};

// Holds one reference for its lifetime.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p, bool addRef = true) : p_(p) {
        if (p_ && addRef) p_->AddRef();
    }
    Ref(const Ref& o) : Ref(o.p_) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() {
        if (p_) p_->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* detach() { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

template <class T>
Ref<T> adopt(T* p) {
    return Ref<T>(p, false);
}

}  // namespace rm
