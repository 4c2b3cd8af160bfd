// Session scripts come from files people write by hand: any bytes must either read as
// events or be refused with a message naming the line, and every event read must write
// back as a line that reads as the same event.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/session_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<ScriptEvent> events;
    std::string error;
    if (!parseScript(in, "fuzz.txt", events, error)) {
        if (error.rfind("fuzz.txt:", 0) != 0) std::abort();
        return 0;
    }
    for (const ScriptEvent& event : events) {
        std::istringstream again(formatScriptEvent(event) + "\n");
        std::vector<ScriptEvent> back;
        std::string backError;
        if (!parseScript(again, "again.txt", back, backError) || back.size() != 1 ||
            formatScriptEvent(back[0]) != formatScriptEvent(event))
            std::abort();
    }
    return 0;
}
