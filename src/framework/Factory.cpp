#include "framework/Factory.h"

#include "codecs/ACMAudioFilter.h"
#include "codecs/ResampleAudioFilter.h"
#include "codecs/Siren14AudioFilter.h"
#include "devices/DMOAECAudioIn.h"
#include "devices/DSoundAudioIn.h"
#include "devices/DSoundAudioIn2.h"
#include "devices/DSoundAudioInOut.h"
#include "devices/DSoundAudioOut.h"
#include "devices/DSoundAudioOut2.h"
#include "dsp/AccelerateAudioFilter.h"
#include "dsp/AmplifierAudioFilter.h"
#include "dsp/MixerAudioFilter.h"
#include "dsp/NoiseGateAudioFilter.h"
#include "dsp/PreProcessAudioFilter.h"
#include "dsp/ToneControlAudioFilter.h"
#include "framework/GuardedComponent.h"
#include "framework/NullAudioIO.h"
#include "framework/Properties.h"
#include "streams/RIFFAudioIn.h"
#include "streams/RIFFAudioOut.h"
#include "streams/RingBufferAudioInOut.h"
#include "streams/UDPAudioIn.h"
#include "streams/UDPAudioOut.h"
#include "streams/WaveGeneratorAudioIn.h"
#include "volume/VolumeControlAudioFilter.h"

namespace zelmar {
namespace {

// Every component leaves the factory guarded: no exception crosses the C interface.
template <typename Component>
IAudioIO* Create() {
    return CreateGuarded<Component>();
}

template <typename Component>
std::vector<const char*> PropertyNames() {
    std::vector<const char*> names;
    for (const auto& row : Component::Properties()) names.push_back(row.name);
    return names;
}

std::vector<const char*> NoPropertyNames() { return {}; }

template <typename Component>
constexpr FactoryEntry Entry(const char* name) {
    return {name, &Create<Component>, &PropertyNames<Component>};
}

// Lookup order matters: the first entry whose name matches (whole name, ASCII case
// ignored) is created.
constexpr FactoryEntry kFactoryTable[] = {
    {"NULL", &Create<CNullAudioIO>, &NoPropertyNames},
    Entry<CACMAudioFilter>("ACMAudioFilter"),
    Entry<CAmplifierAudioFilter>("AmplifierAudioFilter"),
    Entry<CDSoundAudioInOut>("DSoundAudioInOut"),
    {"DSoundAudioIn", &Create<CDSoundAudioIn>, &NoPropertyNames},
    {"DSoundAudioOut", &Create<CDSoundAudioOut>, &NoPropertyNames},
    Entry<CDSoundAudioOut2>("DSoundAudioOut2"),
    {"DSoundAudioIn2", &Create<CDSoundAudioIn2>, &PropertyNames<CDSoundAudioIn2>},
    Entry<CMixerAudioFilter>("MixerAudioFilter"),
    Entry<CRingBufferAudioInOut>("RingBufferAudioInOut"),
    Entry<CNoiseGateAudioFilter>("NoiseGateAudioFilter"),
    Entry<CRIFFAudioIn>("RIFFAudioIn"),
    Entry<CRIFFAudioOut>("RIFFAudioOut"),
    Entry<CWaveGeneratorAudioIn>("WaveGeneratorAudioIn"),
    Entry<CResampleAudioFilter>("ResampleAudioFilter"),
    Entry<CToneControlAudioFilter>("ToneControlAudioFilter"),
    Entry<CAccelerateAudioFilter>("AccelerateAudioFilter"),
    Entry<CVolumeControlAudioFilter>("VolumeControlAudioFilter"),
    Entry<CPreProcessAudioFilter>("PreProcessAudioFilter"),
    Entry<CSiren14AudioFilter>("Siren14AudioFilter"),
    Entry<CDMOAECAudioIn>("DMOAECAudioIn"),
    Entry<CUDPAudioIn>("UDPAudioIn"),
    Entry<CUDPAudioOut>("UDPAudioOut"),
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
