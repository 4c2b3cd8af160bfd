// What the Rokkaku fuzz targets share: the window layer headless (the reader reports
// through message boxes), and the .x text of a model written in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "conversion/rokkaku_reader.h"
#include "conversion/x_writer.h"
#include "platform/win/headless.h"

namespace rokkaku_fuzz {

// Headless from the first input on, with no message box left from the last one.
inline void startInput() {
    static const bool ready = (winUseHeadless(), true);
    (void)ready;
    winClearRecordedMessageBoxes();
}

// The model's .x text; false (and nothing) when no memory stream opens.
inline bool writeInMemory(const RokkakuModel& model, std::vector<uint8_t>& text) {
    char* bytes = nullptr;
    size_t length = 0;
    std::FILE* out = open_memstream(&bytes, &length);
    if (!out) return false;
    writeXFile(model, out);
    std::fclose(out);
    text.assign(bytes, bytes + length);
    std::free(bytes);
    return true;
}

}  // namespace rokkaku_fuzz
