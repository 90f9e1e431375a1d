#include "framework/DebugOutput.h"

#include <zelmar/zelmar.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace zelmar {
namespace {

using DebugSink = void (*)(const char* text, void* context);

struct SinkSlot {
    std::mutex mutex;
    DebugSink sink = nullptr;
    void* context = nullptr;
};

SinkSlot& Slot() {
    static SinkSlot slot;
    return slot;
}

}  // namespace

void OutputDebugText(const char* text) {
    if (text == nullptr) return;
    DebugSink sink;
    void* context;
    {
        // Copy under the lock, call outside it: a sink may trace or reinstall itself.
        std::lock_guard<std::mutex> lock(Slot().mutex);
        sink = Slot().sink;
        context = Slot().context;
    }
    if (sink != nullptr) sink(text, context);
}

void DebugPrintf(const char* format, ...) {
    if (format == nullptr) return;
    char buffer[kDebugPrintfBufferBytes];
    va_list args;
    va_start(args, format);
    // vsnprintf never writes past the buffer and always terminates it.
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    OutputDebugText(buffer);
}

}  // namespace zelmar

extern "C" ZELMAR_API void ZelmarSetDebugOutput(void (*sink)(const char* text, void* context),
                                                void* context) {
    auto& slot = zelmar::Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.sink = sink;
    slot.context = context;
}
