#include "scene/clipboard.h"

#include "scene/parent_space.h"
#include "scene/selection.h"

namespace {

// A frame taken from inside a hierarchy was seen through its parent's transform: a paste
// under the scene applies that transform, so the copy lands where the frame was taken
// from. It is applied at paste time because an animation may go on posing a cut frame
// for the parent it had.
bool clipboardNested = false;
D3DRMMATRIX4D clipboardToScene;

void emptyClipboard() {
    SelectionState& s = selectionState;
    if (s.clipboardFrame != nullptr) {
        s.clipboardFrame->Release();
        s.clipboardFrame = nullptr;
    }
    s.clipboardVisual = nullptr;
    clipboardNested = false;
}

// Gives a parentless frame the place, turn and motion in scene space that it had in the
// parent space the clipboard remembers.
void placeInScene(IDirect3DRMFrame* frame) {
    if (!clipboardNested) return;
    frame->AddTransform(D3DRMCOMBINE_AFTER, clipboardToScene);
    D3DVECTOR axis, velocity;
    D3DVALUE theta = 0;
    if (frame->GetRotation(nullptr, &axis, &theta) >= 0 && theta != 0) {
        axis = transformedDirection(clipboardToScene, axis);
        frame->SetRotation(nullptr, axis.x, axis.y, axis.z, theta);
    }
    if (frame->GetVelocity(nullptr, &velocity, FALSE) >= 0 &&
        (velocity.x != 0 || velocity.y != 0 || velocity.z != 0)) {
        velocity = transformedDirection(clipboardToScene, velocity);
        frame->SetVelocity(nullptr, velocity.x, velocity.y, velocity.z, FALSE);
    }
}

// Takes a frame out of its parent, if it has one.
void detach(IDirect3DRMFrame* frame) {
    IDirect3DRMFrame* parent = nullptr;
    if (frame->GetParent(&parent) >= 0 && parent != nullptr) {
        parent->DeleteChild(frame);
        parent->Release();
    }
}

template <typename T>
T* cloneOf(IDirect3DRMObject* object, REFIID iid) {
    T* copy = nullptr;
    if (object == nullptr || object->Clone(nullptr, iid, reinterpret_cast<void**>(&copy)) < 0)
        return nullptr;
    return copy;
}

}  // namespace

void cutSelection() {
    SelectionState& s = selectionState;
    emptyClipboard();
    if (s.selectedFrame == nullptr) return;
    IDirect3DRMFrame* frame = s.selectedFrame;
    s.clipboardFrame = frame;
    s.clipboardVisual = s.selectedVisual;
    clipboardNested = parentToScene(frame, clipboardToScene);
    // The marker comes off before the frame leaves the scene.
    clearSelection();
    frame->AddRef();
    detach(frame);
}

void copySelection() {
    SelectionState& s = selectionState;
    emptyClipboard();
    if (s.selectedFrame == nullptr) return;
    IDirect3DRMFrame* frame = cloneOf<IDirect3DRMFrame>(s.selectedFrame, IID_IDirect3DRMFrame);
    if (frame == nullptr) return;
    IDirect3DRMVisual* visual = cloneOf<IDirect3DRMVisual>(s.selectedVisual, IID_IDirect3DRMVisual);
    if (visual == nullptr) {
        // Without its visual the copy would paste as nothing; leave the clipboard empty.
        detach(frame);
        frame->Release();
        return;
    }
    frame->AddVisual(visual);
    visual->Release();
    clipboardNested = parentToScene(frame, clipboardToScene);
    detach(frame);
    s.clipboardFrame = frame;
    s.clipboardVisual = visual;
}

void pasteClipboard(IDirect3DRMFrame* scene) {
    SelectionState& s = selectionState;
    if (s.clipboardFrame == nullptr || scene == nullptr) return;
    // Fresh clones every time, so the clipboard can be pasted again.
    IDirect3DRMFrame* frame = cloneOf<IDirect3DRMFrame>(s.clipboardFrame, IID_IDirect3DRMFrame);
    if (frame == nullptr) return;
    IDirect3DRMVisual* visual =
        cloneOf<IDirect3DRMVisual>(s.clipboardVisual, IID_IDirect3DRMVisual);
    if (visual != nullptr) {
        frame->AddVisual(visual);
        visual->Release();
    }
    placeInScene(frame);
    scene->AddChild(frame);
    frame->Release();
}

void deleteSelection() {
    SelectionState& s = selectionState;
    if (s.selectedFrame == nullptr) return;
    IDirect3DRMFrame* frame = s.selectedFrame;
    clearSelection();
    detach(frame);
}

void releaseClipboard() { emptyClipboard(); }
