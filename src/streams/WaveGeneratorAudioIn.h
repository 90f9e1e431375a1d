// "WaveGeneratorAudioIn": a sine test tone as 16-bit mono PCM, paced by a periodic timer of
// one block ("BlockSamples" samples at "SamplesPerSec").
#pragma once

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"
#include "platform/Time.h"

namespace zelmar {

class CWaveGeneratorAudioIn : public CTableComponent<CWaveGeneratorAudioIn> {
public:
    CWaveGeneratorAudioIn();
    ~CWaveGeneratorAudioIn() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t GetData(void* buffer, int32_t bytes) override;


    enum Property : int32_t {
        kSamplesPerSec = 0,
        kBitsPerSample = 1,
        kFrequency = 2,
        kAmplitude = 3,
        kBlockSamples = 4,
        kNotifySize = 5,
        kTotalIn = 6,
        kTotalOut = 7,
        kUnknown = 8,
    };

    static const PropertyTable<CWaveGeneratorAudioIn>& Properties();

private:
    int32_t KeepLow16Bits();
    int32_t GetNotifySize(int32_t arg, void* out);

    // Rate, frequency, amplitude and width take effect at the next GetData, the block length
    // (the timer's period) at the next Start.
    struct Settings {
        uint32_t samplesPerSec = 16000;
        uint32_t bitsPerSample = 16;  // the low 16 bits of the value set
        uint32_t blockSamples = 0;
        uint32_t frequencyHz = 440;
        uint32_t amplitudePercent = 100;
    };
    // Reset at Start.
    struct State {
        uint32_t deliveredBytes = 0;  // "TotalIn"
    };

    Settings settings_;
    State state_;
    std::unique_ptr<platform::IWaitableTimer> timer_;
    uint32_t sampleCounter_ = 0;  // never reset: the tone runs on across Stop and Start
    bool built_ = false;
};

}  // namespace zelmar
