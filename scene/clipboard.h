// The one-slot clipboard of scene objects (kept in SelectionState: clipboardFrame
// owns one reference, clipboardVisual is one of its visuals).
#pragma once

#include "platform/rm/d3drm.h"

// Empties the clipboard, then moves the selected frame out of the scene into it.
void cutSelection();
// Empties the clipboard, then stores a detached clone of the selected frame carrying a
// clone of the selected visual.
void copySelection();
// Adds a fresh clone of the clipboard's frame and visual under `scene`.
void pasteClipboard(IDirect3DRMFrame* scene);
// Takes the selected frame out of the scene; it is not kept anywhere.
void deleteSelection();
// Drops the clipboard's reference; called once at shutdown.
void releaseClipboard();
