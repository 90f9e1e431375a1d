// "NULL": a component that performs nothing; every operation answers "not implemented".
#pragma once

#include <zelmar/zelmar.h>

namespace zelmar {

class CNullAudioIO : public IAudioIO {
public:
    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;
};

}  // namespace zelmar
