// The engine's diagnostic channel: a process-wide sink the host installs with
// ZelmarSetDebugOutput.  With no sink installed, tracing is silent.
#pragma once

namespace zelmar {

constexpr int kDebugPrintfBufferBytes = 256;

// Passes `text` unchanged to the installed sink.
void OutputDebugText(const char* text);

// printf-style formatting into a 256-byte buffer (longer texts are cut to 255 characters),
// then OutputDebugText.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zelmar
