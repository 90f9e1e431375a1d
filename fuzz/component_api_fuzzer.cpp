// Drives the engine's components through the public interface with operations read from the
// input: a component is made by name, then properties are set and read (any name any
// component knows, any value), and Build, Start, Stop and the data calls come in any order
// with any byte counts the buffers can hold.  A host keeps its side of the contract -- the
// buffers it passes are as large as the byte counts it gives, strings end with a zero -- and
// the engine must then answer everything without a crash, a hang or a memory error.
//
// Components that open files, sockets or sound devices are left out; the tone generator runs
// on the virtual clock so its pacing does not wait.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zelmar/zelmar.h>

#include "framework/Factory.h"
#include "framework/Properties.h"

#include "FuzzInput.h"

namespace {

const char* const kComponents[] = {
    "AmplifierAudioFilter",   "MixerAudioFilter",      "RingBufferAudioInOut", "NoiseGateAudioFilter",
    "WaveGeneratorAudioIn",   "ResampleAudioFilter",   "ToneControlAudioFilter", "AccelerateAudioFilter",
    "PreProcessAudioFilter",  "Siren14AudioFilter",    "ACMAudioFilter",
};

// Property names come from the components' own tables (see PropertyNamesFor): mostly the
// fuzzed component's, sometimes another's, and sometimes one with its letter case changed.

constexpr size_t kBufferBytes = 1 << 16;  // what the host's audio buffers hold
constexpr size_t kScratchBytes = 256;     // what `data` points at: formats, floats, strings
constexpr int kMaxOperations = 64;

// A byte count: mostly audio-sized, sometimes anything up to the buffer, sometimes odd.
int32_t Count(fuzz::Input& in) {
    const uint8_t kind = in.Byte();
    const uint32_t raw = in.Word();
    if (kind % 4 == 0) return static_cast<int32_t>(raw % (kBufferBytes + 1));
    return static_cast<int32_t>((raw % 64) * 40 + (kind % 4 == 1 ? 1 : 0)) % static_cast<int32_t>(kBufferBytes);
}

int32_t PropertyValue(fuzz::Input& in) {
    const uint8_t kind = in.Byte();
    const auto raw = static_cast<int32_t>(in.Word());
    switch (kind % 4) {
        case 0: return raw;                         // anything
        case 1: return raw % 200;                   // small, either sign
        case 2: return 8000 * (1 + (raw & 5));      // sampling rates
        default: return static_cast<int32_t>(in.Byte());
    }
}

struct NameLists {
    std::vector<std::vector<const char*>> own;  // per entry of kComponents
    std::vector<const char*> all;
};

NameLists& Names() {
    static NameLists lists = [] {
        NameLists made;
        std::size_t count = 0;
        const zelmar::FactoryEntry* table = zelmar::FactoryTable(&count);
        for (const char* component : kComponents) {
            std::vector<const char*> names;
            for (std::size_t i = 0; i < count; ++i) {
                if (zelmar::AsciiEqualIgnoreCase(table[i].name, component)) names = table[i].propertyNames();
            }
            if (names.empty()) __builtin_trap();  // every fuzzed component has a table
            made.all.insert(made.all.end(), names.begin(), names.end());
            made.own.push_back(std::move(names));
        }
        return made;
    }();
    return lists;
}

// A property name for the component at `which`, written into `buffer`.
const char* PropertyName(fuzz::Input& in, size_t which, char (&buffer)[64]) {
    const uint8_t kind = in.Byte();
    const auto& own = Names().own[which];
    const char* name = kind % 8 == 0 ? Names().all[in.Byte() % Names().all.size()] : own[in.Byte() % own.size()];
    if (kind % 16 != 1) return name;
    // The same name in lower case: only some components match names regardless of case.
    size_t i = 0;
    for (; name[i] != 0 && i + 1 < sizeof buffer; ++i) {
        buffer[i] = static_cast<char>(name[i] >= 'A' && name[i] <= 'Z' ? name[i] - 'A' + 'a' : name[i]);
    }
    buffer[i] = 0;
    return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZelmarSetTimeMode(ZELMAR_TIME_VIRTUAL);
    Names();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t which = in.Byte() % (sizeof kComponents / sizeof *kComponents);
    IAudioIO* component = ZelmarCreateComponent(kComponents[which]);
    if (component == nullptr) __builtin_trap();  // every listed name is built

    // Audio in: bytes of the input itself, repeated.
    std::vector<uint8_t> input(kBufferBytes), output(kBufferBytes);
    for (size_t i = 0; i < input.size(); ++i) input[i] = size > 0 ? data[i % size] : 0;
    alignas(8) uint8_t scratch[kScratchBytes];
    char nameBuffer[64];

    for (int op = 0; op < kMaxOperations && !in.Done(); ++op) {
        switch (in.Byte() % 9) {
            case 0:
            case 1: {
                const char* name = PropertyName(in, which, nameBuffer);
                const int32_t value = PropertyValue(in);
                for (auto& b : scratch) b = in.Byte();
                scratch[kScratchBytes - 1] = 0;
                component->SetProperty(name, value, in.Byte() % 8 == 0 ? nullptr : scratch);
                break;
            }
            case 2: {
                const char* name = PropertyName(in, which, nameBuffer);
                std::memset(scratch, 0, sizeof scratch);
                component->GetProperty(name, static_cast<int32_t>(in.Byte()) - 8, scratch);
                break;
            }
            case 3: component->Build(); break;
            case 4: component->Start(); break;
            case 5: component->Stop(); break;
            case 6: {
                int32_t inBytes = Count(in), outBytes = Count(in);
                // Three tries with the same block: a filter may ask for it again (pre-roll).
                for (int again = 0; again < 3; ++again) {
                    const int32_t asked = inBytes;
                    component->Process(input.data(), &inBytes, output.data(), &outBytes);
                    if (inBytes != asked || inBytes < 0 || inBytes > static_cast<int32_t>(kBufferBytes)) break;
                    outBytes = static_cast<int32_t>(kBufferBytes);
                }
                break;
            }
            case 7: component->GetData(output.data(), Count(in)); break;
            case 8: component->PutData(input.data(), Count(in)); break;
        }
    }
    ZelmarDisposeComponent(component);
    return 0;
}
