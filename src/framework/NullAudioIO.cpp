#include "framework/NullAudioIO.h"

#include "framework/Result.h"

namespace zelmar {

int32_t CNullAudioIO::Start() { return kErrNotImpl; }
int32_t CNullAudioIO::Stop() { return kErrNotImpl; }
int32_t CNullAudioIO::Build() { return kErrNotImpl; }
int32_t CNullAudioIO::SetProperty(const char*, int32_t, void*) { return kErrNotImpl; }
int32_t CNullAudioIO::GetProperty(const char*, int32_t, void*) { return kErrNotImpl; }
int32_t CNullAudioIO::GetData(void*, int32_t) { return kErrNotImpl; }
int32_t CNullAudioIO::PutData(const void*, int32_t) { return kErrNotImpl; }
int32_t CNullAudioIO::Process(const void*, int32_t*, void*, int32_t*) { return kErrNotImpl; }

}  // namespace zelmar
