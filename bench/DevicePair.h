// What the device benchmarks share: a capture + playback pair as a measurement drives it,
// finding a device by the name the components list it under, and the pa_simple anchor pair.
#pragma once

#include <pulse/error.h>
#include <pulse/simple.h>
#include <zelmar/zelmar.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace devicebench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One capture + playback pair: each call moves one block and returns false on a failure the
// pair cannot get past.
class Pair {
public:
    virtual ~Pair() = default;
    virtual bool Put(const int16_t* block) = 0;
    virtual bool Get(int16_t* block) = 0;
    virtual const char* Name() const = 0;
};

struct ComponentDeleter {
    void operator()(IAudioIO* io) const { ZelmarDisposeComponent(io); }
};
using ComponentPtr = std::unique_ptr<IAudioIO, ComponentDeleter>;

// The number under which `io` lists the device named `wanted` ("InDeviceNum"/"InDeviceName"
// or the playback pair of names), or -1.
inline int32_t FindDevice(IAudioIO* io, const char* countName, const char* nameName, const std::string& wanted) {
    int32_t count = 0;
    io->GetProperty(countName, 0, &count);
    for (int32_t i = 0; i < count; ++i) {
        char name[512] = {};
        if (io->GetProperty(nameName, i, name) == 0 && wanted == name) return i;
    }
    return -1;
}

// The anchor: libpulse's simple API on a sink and its monitor, 16-bit mono, with the
// buffering the engine's PulseAudio backend asks for: a playback target of `bufferMs`,
// record fragments of 10 ms.
class SimplePair final : public Pair {
public:
    SimplePair(uint32_t rate, uint32_t blockBytes, uint32_t bufferMs, const char* client)
        : rate_(rate), blockBytes_(blockBytes), bufferMs_(bufferMs), client_(client) {}
    // Empty on success.
    std::string Open(const std::string& server, const std::string& sink) {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, rate_, 1};
        const uint32_t bytesPerMs = rate_ * 2 / 1000;
        pa_buffer_attr playback;
        playback.maxlength = static_cast<uint32_t>(-1);
        playback.tlength = bufferMs_ * bytesPerMs;
        playback.prebuf = static_cast<uint32_t>(-1);
        playback.minreq = static_cast<uint32_t>(-1);
        playback.fragsize = static_cast<uint32_t>(-1);
        pa_buffer_attr record = playback;
        record.fragsize = 10 * bytesPerMs;
        int error = 0;
        out_ = pa_simple_new(server.c_str(), client_, PA_STREAM_PLAYBACK, sink.c_str(), "anchor playback", &spec,
                             nullptr, &playback, &error);
        if (out_ == nullptr) return std::string("pa_simple playback: ") + pa_strerror(error);
        in_ = pa_simple_new(server.c_str(), client_, PA_STREAM_RECORD, (sink + ".monitor").c_str(), "anchor record",
                            &spec, nullptr, &record, &error);
        if (in_ == nullptr) return std::string("pa_simple record: ") + pa_strerror(error);
        return {};
    }
    ~SimplePair() override {
        if (in_ != nullptr) pa_simple_free(in_);
        if (out_ != nullptr) pa_simple_free(out_);
    }
    bool Put(const int16_t* block) override {
        int error = 0;
        return pa_simple_write(out_, block, blockBytes_, &error) == 0;
    }
    bool Get(int16_t* block) override {
        int error = 0;
        return pa_simple_read(in_, block, blockBytes_, &error) == 0;
    }
    const char* Name() const override { return "pa_simple"; }

private:
    uint32_t rate_, blockBytes_, bufferMs_;
    const char* client_;
    pa_simple* out_ = nullptr;
    pa_simple* in_ = nullptr;
};

}  // namespace devicebench
