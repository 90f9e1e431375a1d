#include "framework/Factory.h"

#include <new>

#include "codecs/ResampleAudioFilter.h"
#include "codecs/Siren14AudioFilter.h"
#include "devices/DSoundAudioIn.h"
#include "devices/DSoundAudioOut.h"
#include "dsp/AccelerateAudioFilter.h"
#include "dsp/AmplifierAudioFilter.h"
#include "dsp/MixerAudioFilter.h"
#include "dsp/NoiseGateAudioFilter.h"
#include "dsp/PreProcessAudioFilter.h"
#include "dsp/ToneControlAudioFilter.h"
#include "framework/NullAudioIO.h"
#include "framework/Properties.h"
#include "streams/RIFFAudioIn.h"
#include "streams/RIFFAudioOut.h"
#include "streams/RingBufferAudioInOut.h"
#include "streams/UDPAudioIn.h"
#include "streams/UDPAudioOut.h"
#include "streams/WaveGeneratorAudioIn.h"

namespace zelmar {
namespace {

template <typename Component>
IAudioIO* Create() {
    // Allocation failure yields null, as an unknown name does, rather than an exception
    // crossing the C boundary.
    return new (std::nothrow) Component();
}

// Lookup order matters: the first entry whose name matches (whole name, ASCII case
// ignored) is created.
constexpr FactoryEntry kFactoryTable[] = {
    {"NULL", &Create<CNullAudioIO>},
    {"ACMAudioFilter", nullptr},
    {"AmplifierAudioFilter", &Create<CAmplifierAudioFilter>},
    {"DSoundAudioInOut", nullptr},
    {"DSoundAudioIn", &Create<CDSoundAudioIn>},
    {"DSoundAudioOut", &Create<CDSoundAudioOut>},
    {"DSoundAudioOut2", nullptr},
    {"DSoundAudioIn2", nullptr},
    {"MixerAudioFilter", &Create<CMixerAudioFilter>},
    {"RingBufferAudioInOut", &Create<CRingBufferAudioInOut>},
    {"NoiseGateAudioFilter", &Create<CNoiseGateAudioFilter>},
    {"RIFFAudioIn", &Create<CRIFFAudioIn>},
    {"RIFFAudioOut", &Create<CRIFFAudioOut>},
    {"WaveGeneratorAudioIn", &Create<CWaveGeneratorAudioIn>},
    {"ResampleAudioFilter", &Create<CResampleAudioFilter>},
    {"ToneControlAudioFilter", &Create<CToneControlAudioFilter>},
    {"AccelerateAudioFilter", &Create<CAccelerateAudioFilter>},
    {"VolumeControlAudioFilter", nullptr},
    {"PreProcessAudioFilter", &Create<CPreProcessAudioFilter>},
    {"Siren14AudioFilter", &Create<CSiren14AudioFilter>},
    {"DMOAECAudioIn", nullptr},
    {"UDPAudioIn", &Create<CUDPAudioIn>},
    {"UDPAudioOut", &Create<CUDPAudioOut>},
};
static_assert(sizeof kFactoryTable / sizeof kFactoryTable[0] == 23, "the factory knows 23 names");

}  // namespace

const FactoryEntry* FactoryTable(std::size_t* count) {
    *count = sizeof kFactoryTable / sizeof kFactoryTable[0];
    return kFactoryTable;
}

}  // namespace zelmar

extern "C" ZELMAR_API IAudioIO* ZelmarCreateComponent(const char* name) {
    if (name == nullptr) return nullptr;
    for (const auto& entry : zelmar::kFactoryTable) {
        if (zelmar::AsciiEqualIgnoreCase(entry.name, name)) {
            return entry.create != nullptr ? entry.create() : nullptr;
        }
    }
    return nullptr;
}

extern "C" ZELMAR_API int32_t ZelmarDisposeComponent(IAudioIO* component) {
    delete component;
    return zelmar::kOk;
}
