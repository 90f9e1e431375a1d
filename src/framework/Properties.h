// Properties as data: every component describes its properties in one table of rows, and one
// dispatcher checks and carries out SetProperty, GetProperty and FindProperty from it.
//
// A row says everything about one property: its name and index, when SetProperty accepts it,
// whether GetProperty answers it, how its value travels (a 32-bit integer in `value`/`out`, a
// float through `data`/`out`, or a hook of the component for anything else), the integer
// range it accepts, and the member it drives.  What a component answers for a null name, an
// unknown name or a refused row differs between components; each states that once, in its
// PropertyRules.
//
//   const PropertyTable<C>& C::Properties() {
//       static constexpr PropertyRow<C> kRows[] = {
//           {"Gain", kGain, Settable::kAlways, Readable::kYes, Value::kInt32, kNonNegative,
//            [](C& c) -> void* { return &c.settings_.gainPercent; }},
//           {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
//            [](C& c) -> void* { return &c.meters_.totalIn; }},
//       };
//       static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
//       return kTable;
//   }
//
// A component derived from CTableComponent<C> (framework/AudioComponent.h) gets SetProperty,
// GetProperty and FindProperty from its table.
#pragma once

#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "framework/Result.h"

namespace zelmar {

enum class NameMatch : uint8_t { kExact, kIgnoreAsciiCase };

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

// When SetProperty accepts a row.
enum class Settable : uint8_t {
    kNo,              // read-only: refused as the rules' `unknownOnSet`
    kAlways,
    kWhileCreated,    // only before the first Build: otherwise the rules' `wrongState`
    kUnlessRunning,   // not while Running: otherwise the rules' `wrongState`
};
// Whether GetProperty answers a row (a write-only row is refused as the rules' `unknownOnGet`).
enum class Readable : uint8_t { kNo, kYes };
// How a row's value travels when no hook of the row takes it over.
enum class Value : uint8_t {
    kInt32,    // `value` in, *out as int32_t; the field is an int32_t
    kUint32,   // `value` in (as its bit pattern), *out as uint32_t; the field is a uint32_t
    kFloat,    // *data in (finite only, else kErrInvalidArg), *out as float; the field is a float
    kHook,     // the row's `set`/`get` hooks do everything
};

// Integer values a row accepts; others are refused with kErrInvalidArg and change nothing.
struct IntRange {
    int32_t min;
    int32_t max;
};
constexpr IntRange kAnyInt{INT32_MIN, INT32_MAX};
constexpr IntRange kNonNegative{0, INT32_MAX};
constexpr IntRange kPositive{1, INT32_MAX};

template <typename C>
struct PropertyRow {
    const char* name;
    int32_t index;
    Settable settable;
    Readable readable;
    Value value;
    IntRange range = kAnyInt;
    // Where the value lives (an int32_t, uint32_t or float as `value` says); null for kHook.
    void* (*field)(C&) = nullptr;
    // Runs after a value was stored: what the setting drives beyond its field.
    int32_t (C::*apply)() = nullptr;
    // Takes over SetProperty / GetProperty for this row when set.
    int32_t (C::*set)(int32_t value, void* data) = nullptr;
    int32_t (C::*get)(int32_t arg, void* out) = nullptr;
};

// What a component answers where its rows do not: these differ between components.
struct PropertyRules {
    NameMatch match = NameMatch::kExact;
    int32_t nullNameOnSet = kErrInvalidArg;
    int32_t nullNameOnGet = kErrInvalidArg;
    int32_t unknownOnSet = kErrState;   // also a read-only row
    int32_t unknownOnGet = kErrState;   // also a write-only row
    int32_t wrongState = kErrState;     // a row set outside the states its `settable` allows
    // GetProperty refuses a null `out` before it looks at the name (else after a null name).
    bool outCheckedFirst = true;
    // An accepted SetProperty keeps its value but answers kErrInvalidArg when `data` is null:
    // hosts of these components have always passed a pointer with every setting.
    bool dataRequired = false;
    // While Running only rows settable at any time are taken; every other name, one the
    // component answers or not, is refused as a wrong state (a running device is never
    // reconfigured behind the host's back, not even by a misspelt name).
    bool lockedWhileRunning = false;
    // The state number in which `kUnlessRunning` rows and `lockedWhileRunning` refuse: most
    // components run in kStateRunning (2); the notification-driven capture runs in 3, its 2
    // being the Stopping a second thread's Stop passes through, in which settings are taken.
    int32_t runningState = kStateRunning;
};

template <typename C>
class PropertyTable {
public:
    template <std::size_t N>
    constexpr PropertyTable(const PropertyRow<C> (&rows)[N], int32_t unknownIndex, PropertyRules rules)
        : rows_(rows), count_(N), unknownIndex_(unknownIndex), rules_(rules) {}
    template <std::size_t N>
    constexpr PropertyTable(const std::array<PropertyRow<C>, N>& rows, int32_t unknownIndex, PropertyRules rules)
        : rows_(rows.data()), count_(N), unknownIndex_(unknownIndex), rules_(rules) {}

    const PropertyRow<C>* begin() const { return rows_; }
    const PropertyRow<C>* end() const { return rows_ + count_; }

    // The row for `name` in lookup order, or null.
    const PropertyRow<C>* Row(const char* name) const {
        if (name == nullptr) return nullptr;
        for (const PropertyRow<C>& row : *this) {
            if (NamesMatch(row.name, name, rules_.match)) return &row;
        }
        return nullptr;
    }

    // The index of `name`, or the index one past the last valid one.
    int32_t Find(const char* name) const {
        const PropertyRow<C>* row = Row(name);
        return row != nullptr ? row->index : unknownIndex_;
    }

    int32_t Set(C& component, int32_t state, const char* name, int32_t value, void* data) const {
        const int32_t result = Store(component, state, name, value, data);
        return result == kOk && rules_.dataRequired && data == nullptr ? kErrInvalidArg : result;
    }

    // For components without lifecycle states: no row of theirs depends on one.
    int32_t Set(C& component, const char* name, int32_t value, void* data) const {
        return Set(component, kStateCreated, name, value, data);
    }

    int32_t Get(C& component, const char* name, int32_t arg, void* out) const {
        if (rules_.outCheckedFirst && out == nullptr) return kErrInvalidArg;
        if (name == nullptr) return rules_.nullNameOnGet;
        if (out == nullptr) return kErrInvalidArg;
        const PropertyRow<C>* row = Row(name);
        if (row == nullptr || row->readable == Readable::kNo) return rules_.unknownOnGet;
        if (row->get != nullptr) return (component.*row->get)(arg, out);
        if (row->value == Value::kHook) return rules_.unknownOnGet;
        // int32_t, uint32_t and float fields are all 32-bit values copied as they are.
        std::memcpy(out, row->field(component), sizeof(int32_t));
        return kOk;
    }

private:
    int32_t Store(C& component, int32_t state, const char* name, int32_t value, void* data) const {
        if (name == nullptr) return rules_.nullNameOnSet;
        const PropertyRow<C>* row = Row(name);
        if (rules_.lockedWhileRunning && state == rules_.runningState &&
            (row == nullptr || row->settable != Settable::kAlways)) {
            return rules_.wrongState;
        }
        if (row == nullptr || row->settable == Settable::kNo) return rules_.unknownOnSet;
        if ((row->settable == Settable::kWhileCreated && state != kStateCreated) ||
            (row->settable == Settable::kUnlessRunning && state == rules_.runningState)) {
            return rules_.wrongState;
        }
        if (row->set != nullptr) return (component.*row->set)(value, data);
        void* field = row->field(component);
        switch (row->value) {
            case Value::kInt32:
            case Value::kUint32:
                if (value < row->range.min || value > row->range.max) return kErrInvalidArg;
                std::memcpy(field, &value, sizeof value);
                break;
            case Value::kFloat: {
                float read = 0.0f;
                if (!ReadFiniteFloat(data, &read)) return kErrInvalidArg;
                std::memcpy(field, &read, sizeof read);
                break;
            }
            case Value::kHook: return rules_.unknownOnSet;  // a hook row without a set hook
        }
        return row->apply != nullptr ? (component.*row->apply)() : kOk;
    }

    const PropertyRow<C>* rows_;
    std::size_t count_;
    int32_t unknownIndex_;
    PropertyRules rules_;
};

// Rows shared by components of one family, followed by a component's own.
template <typename T, std::size_t N, std::size_t M>
constexpr std::array<T, N + M> JoinRows(const std::array<T, N>& first, const T (&second)[M]) {
    std::array<T, N + M> joined{};
    for (std::size_t i = 0; i < N; ++i) joined[i] = first[i];
    for (std::size_t i = 0; i < M; ++i) joined[N + i] = second[i];
    return joined;
}

}  // namespace zelmar
