// Arbitrary bytes through the Rokkaku reader and the .x writer, all in memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conversion/rokkaku_reader.h"
#include "conversion/x_writer.h"
#include "platform/win/headless.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        winUseHeadless();
        return true;
    }();
    (void)ready;
    winClearRecordedMessageBoxes();

    RokkakuModel model;
    if (!model.allocate()) std::abort();
    RokkakuStream stream(data, size);
    const bool ok = readRokkakuModel(stream, model);
    // The reader reports every failure exactly once and nothing on success.
    if (winRecordedMessageBoxes().size() != (ok ? 0u : 1u)) std::abort();
    if (!ok) return 0;

    char* text = nullptr;
    size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    if (!out) return 0;
    writeXFile(model, out);
    std::fclose(out);
    if (length < kXTemplateTextLength || std::memcmp(text, xTemplateText, kXTemplateTextLength) != 0 ||
        std::strcmp(text + length - 4, "}\n}\n") != 0) {
        std::abort();
    }
    std::free(text);
    return 0;
}
