// Pictures written as PNG files, quickly: the viewer writes one per screenshot and thumbnail.
#pragma once

#include <string>

// Writes width x height RGBA8 pixels (rows top-down) as a PNG file with an alpha channel.
// False when the file cannot be written (what was written is left as it is).
bool writePngFile(const std::string& path, int width, int height, const unsigned char* rgba);
// The same into a file already open for writing; closes fd.
bool writePngDescriptor(int fd, int width, int height, const unsigned char* rgba);
