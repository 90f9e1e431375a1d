// Helpers for the tests that run on the suite's private PulseAudio server (tests/sound_server.sh
// starts it and exports ZELMAR_TEST_SINK): a null sink of a test's own, so tests running in
// parallel do not hear each other, and a device component opened by the name its list shows.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/TestPlatform.h"

namespace zelmar::test {

inline bool HaveSoundServer() { return std::getenv("ZELMAR_TEST_SINK") != nullptr; }
constexpr const char* kNoSoundServer = "no sound server: ZELMAR_TEST_SINK is not set (./run test starts one)";

// Sink name and description are both `description`; unloaded when the object goes.
struct OwnNullSink {
    explicit OwnNullSink(const std::string& tag) : description("Zelmar" + tag + "_" + std::to_string(getpid())) {
        FILE* pipe = popen(("pactl load-module module-null-sink sink_name=" + description +
                            " sink_properties=device.description=" + description + " 2>/dev/null").c_str(), "r");
        if (pipe != nullptr && std::fscanf(pipe, "%d", &module) != 1) module = -1;
        if (pipe != nullptr && pclose(pipe) != 0) module = -1;
    }
    ~OwnNullSink() {
        if (module >= 0) std::system(("pactl unload-module " + std::to_string(module)).c_str());
    }
    std::string description;
    int module = -1;
};

// The number `io` gives the device listed as `name` on its `side` ("In" or "Out"), or -1.
inline int32_t DeviceNumber(IAudioIO* io, const std::string& side, const std::string& name) {
    int32_t count = 0;
    EXPECT_EQ(io->GetProperty((side + "DeviceNum").c_str(), 0, &count), ZELMAR_OK);
    for (int32_t i = 0; i < count; ++i) {
        char text[600] = {};
        if (io->GetProperty((side + "DeviceName").c_str(), i, text) == ZELMAR_OK && name == text) return i;
    }
    return -1;
}

// `component` built on the device listed as `device`: 16 kHz mono, `blockSamples` a block.
inline ComponentPtr OpenOnDevice(const char* component, const std::string& device, int32_t blockSamples,
                                 int32_t bufferMs) {
    ComponentPtr io = Make(component);
    const std::string side = std::string(component).find("Out") != std::string::npos ? "Out" : "In";
    const int32_t number = DeviceNumber(io.get(), side, device);
    EXPECT_GE(number, 0) << "'" << device << "' is not listed";
    for (const auto& [name, value] : {std::pair{side + "DeviceNo", number}, std::pair{std::string("SamplesPerSec"), 16000},
                                      std::pair{std::string("BlockSamples"), blockSamples},
                                      std::pair{side + "BufferTime", bufferMs}}) {
        EXPECT_EQ(io->SetProperty(name.c_str(), value, nullptr), ZELMAR_OK) << component << " " << name;
    }
    EXPECT_EQ(io->Build(), ZELMAR_OK) << component << " on " << device;
    return io;
}

}  // namespace zelmar::test
