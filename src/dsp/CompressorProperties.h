// The compressor's settings and property rows, shared by the amplifier and the pre-processor.
//
// Both components expose the same four curve settings (floats through `data`, finite only) and
// the same two envelope times (milliseconds, positive); a component holds them as its
// `compressor_` member and may hang a hook on a row for what the setting drives beyond the
// field (the pre-processor's limiter follows the threshold and both times).
#pragma once

#include <cstdint>

#include "framework/Properties.h"

namespace zelmar {

// The longest look-ahead ("DelayTime", ms) the amplifier and the pre-processor take: Start sizes
// the delay line from it, at most 10 s x 384 000 samples per second = 15 MB of floats.  Longer
// values are refused (kErrInvalidArg) rather than left to fail an allocation at Start.
constexpr int32_t kMaxDelayMs = 10000;

struct CompressorSettings {
    float thresholdDb = 0.0f;  // knee, dB re full scale
    float ratio = 1.0f;        // slope above the knee; 0 selects the limiter where there is one
    float exRatio = 0.0f;      // expander slope; 0 = no expander
    float floorDb = -70.0f;    // lower end of the expander
    int32_t attackMs = 60;
    int32_t releaseMs = 500;
};

template <typename C>
struct CompressorRows {
    struct Hooks {
        int32_t (C::*threshold)() = nullptr;
        int32_t (C::*floor)() = nullptr;
        int32_t (C::*attack)() = nullptr;
        int32_t (C::*release)() = nullptr;
        int32_t (C::*readFloor)(int32_t, void*) = nullptr;
    };

    static constexpr std::array<PropertyRow<C>, 6> Make(Hooks hooks) {
        return {{
            {"Threshold", C::kThreshold, Settable::kAlways, Readable::kYes, Value::kFloat, kAnyInt,
             [](C& c) -> void* { return &c.compressor_.thresholdDb; }, hooks.threshold},
            {"Ratio", C::kRatio, Settable::kAlways, Readable::kYes, Value::kFloat, kAnyInt,
             [](C& c) -> void* { return &c.compressor_.ratio; }},
            {"ExRatio", C::kExRatio, Settable::kAlways, Readable::kYes, Value::kFloat, kAnyInt,
             [](C& c) -> void* { return &c.compressor_.exRatio; }},
            {"Floor", C::kFloor, Settable::kAlways, Readable::kYes, Value::kFloat, kAnyInt,
             [](C& c) -> void* { return &c.compressor_.floorDb; }, hooks.floor, nullptr, hooks.readFloor},
            {"AttackTime", C::kAttackTime, Settable::kAlways, Readable::kYes, Value::kInt32, kPositive,
             [](C& c) -> void* { return &c.compressor_.attackMs; }, hooks.attack},
            {"ReleaseTime", C::kReleaseTime, Settable::kAlways, Readable::kYes, Value::kInt32, kPositive,
             [](C& c) -> void* { return &c.compressor_.releaseMs; }, hooks.release},
        }};
    }
};

}  // namespace zelmar
