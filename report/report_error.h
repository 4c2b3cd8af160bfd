// The one way failures reach the user: a message box captioned "Viewer Message".
#pragma once

// Formats %s and %d arguments in the window system's notation into a 256-byte message
// (cut short when longer), appends "\r\n" and shows it with one OK button and no owner.
// Returns the message box's result, which callers may ignore.
int reportError(const char* format, ...);
