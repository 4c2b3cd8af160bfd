// Arbitrary bytes through the Rokkaku reader and the .x writer, all in memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/rokkaku_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rokkaku_fuzz::startInput();

    RokkakuModel model;
    if (!model.allocate()) std::abort();
    RokkakuStream stream(data, size);
    const bool ok = readRokkakuModel(stream, model);
    // The reader reports every failure exactly once and nothing on success.
    if (winRecordedMessageBoxes().size() != (ok ? 0u : 1u)) std::abort();
    if (!ok) return 0;

    std::vector<uint8_t> text;
    if (!rokkaku_fuzz::writeInMemory(model, text)) return 0;
    const size_t length = text.size();
    if (length < kXTemplateTextLength || std::memcmp(text.data(), xTemplateText, kXTemplateTextLength) != 0 ||
        std::memcmp(text.data() + length - 4, "}\n}\n", 4) != 0) {
        std::abort();
    }
    return 0;
}
