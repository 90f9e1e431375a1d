// Property-name lookup and the small copies every component's Get/SetProperty makes.
//
// A component keeps its properties as a constexpr table of rows in its lookup order; each row
// has at least `name` and `index`.  FindPropertyIndex walks the rows and returns the index of
// the first match, or `unknownIndex` (one past the last valid index) when none matches.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelmar {

enum class NameMatch { kExact, kIgnoreAsciiCase };

// ASCII-only case folding: locale-independent, so "I" and "i" match in every locale.
inline bool AsciiEqualIgnoreCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

inline bool NamesMatch(const char* candidate, const char* name, NameMatch match) {
    return match == NameMatch::kExact ? std::strcmp(candidate, name) == 0
                                      : AsciiEqualIgnoreCase(candidate, name);
}

struct PropertyRow {
    const char* name;
    int32_t index;
};

template <typename Row, std::size_t N>
int32_t FindPropertyIndex(const Row (&rows)[N], const char* name, int32_t unknownIndex,
                          NameMatch match = NameMatch::kExact) {
    if (name == nullptr) return unknownIndex;
    for (const Row& row : rows) {
        if (NamesMatch(row.name, name, match)) return row.index;
    }
    return unknownIndex;
}

// Integer and float properties travel through `out` as 32-bit values.
inline void WriteInt32(void* out, int32_t value) { std::memcpy(out, &value, sizeof value); }
inline void WriteUint32(void* out, uint32_t value) { std::memcpy(out, &value, sizeof value); }
inline void WriteFloat(void* out, float value) { std::memcpy(out, &value, sizeof value); }
inline float ReadFloat(const void* data) {
    float value;
    std::memcpy(&value, data, sizeof value);
    return value;
}
// A float setting from `data`: false (and *value untouched) when there is none or it is not a
// finite number, which no level, ratio or time can be.
inline bool ReadFiniteFloat(const void* data, float* value) {
    if (data == nullptr) return false;
    const float read = ReadFloat(data);
    if (!std::isfinite(read)) return false;
    *value = read;
    return true;
}

}  // namespace zelmar
