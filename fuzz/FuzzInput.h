// What every operation-list fuzz target reads its operations from: the input front to back,
// little-endian, every read past the end zero; and the check that stops a target.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Named steps: the operands of one expression are read in no fixed order.
    uint16_t Half() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Word() {
        const uint32_t low = Half();
        return low | (uint32_t{Half()} << 16);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A broken expectation is a finding: stop where the fuzzer sees it.  Replayed by the unit
// tests, it is an exception the replay reports with the input's name.
#ifdef FUZZ_REPLAY
struct CheckFailed {};
inline void Check(bool ok) {
    if (!ok) throw CheckFailed{};
}
#else
inline void Check(bool ok) {
    if (!ok) __builtin_trap();
}
#endif

constexpr int32_t kErrState = static_cast<int32_t>(0x80000001);
constexpr int32_t kErrArg = static_cast<int32_t>(0x80000003);

// An integer property that must be readable.
template <typename Component>
uint32_t Read(Component* io, const char* name) {
    uint32_t value = 0xDEADBEEF;
    Check(io->GetProperty(name, 0, &value) == 0);
    return value;
}

}  // namespace fuzz
