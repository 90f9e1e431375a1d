// The waveIn / waveOut view of the devices and the numbering the second-generation device
// components take from it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/WaveOrder.h"
#include "platform/audio/VirtualAudio.h"
#include "platform/audio/WaveDevices.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;

// The default view of a service: its devices in its order, names cut to 31 characters.
TEST(WaveDevices, AServiceListsItsDevicesWithNamesCutToThirtyOneCharacters) {
    pa::VirtualAudioService virtualAudio;
    auto wave = virtualAudio.OpenWaveDevices();
    pa::WaveDeviceCaps caps;
    ASSERT_EQ(wave->Count(pa::WaveDirection::kIn), 1u);
    ASSERT_EQ(wave->GetCaps(pa::WaveDirection::kIn, 0, &caps), pa::kWaveOk);
    EXPECT_EQ(std::string(caps.name), std::string(pa::VirtualAudioService::CaptureDescription()).substr(0, 31));
    ASSERT_EQ(wave->GetCaps(pa::WaveDirection::kOut, 0, &caps), pa::kWaveOk);
    EXPECT_STREQ(caps.name, pa::VirtualAudioService::PlaybackDescription());
    EXPECT_EQ(wave->GetCaps(pa::WaveDirection::kOut, 1, &caps), pa::kWaveErrBadDeviceId);
    EXPECT_EQ(wave->GetCaps(pa::WaveDirection::kIn, 0, nullptr), pa::kWaveErrInvalidParam);
}

TEST(WaveDevices, ListTakesTheMultimediaOrderOnlyWhenEveryDeviceIsFound) {
    const std::string a = "Monitor of Built-in Audio Analog Stereo";
    const std::string b = "Monitor of Built-in Audio Digital Stereo (HDMI)";  // both longer than 31
    struct Case {
        const char* what;
        std::vector<std::string> listed;  // descriptions in enumeration order
        std::vector<std::string> wave;    // multimedia names (cut to 31 by the view)
        bool reordered;
        std::vector<std::string> expected;  // "" is a position without a device
    };
    const Case cases[] = {
        {"same order", {"Mic", "Line"}, {"Mic", "Line"}, true, {"Mic", "Line"}},
        {"reversed", {"Mic", "Line", "USB"}, {"USB", "Line", "Mic"}, true, {"USB", "Line", "Mic"}},
        {"long names found by 31 characters", {a, b}, {b, a}, true, {b, a}},
        {"one device not found", {"Mic", "Line"}, {"Line", "Other"}, false, {"Mic", "Line"}},
        {"fewer multimedia devices", {"Mic", "Line"}, {"Line"}, false, {"Mic", "Line"}},
        {"no multimedia devices", {"Mic"}, {}, false, {"Mic"}},
        {"an extra multimedia device leaves a hole", {"Mic", "Line"}, {"Other", "Line", "Mic"}, true, {"", "Line"}},
        {"a short name takes the first entry it begins", {"Mic 2", "Mic"}, {"Mic", "Mic 2"}, true, {"Mic 2", "Mic 2"}},
        {"an empty description is passed over", {"", "Mic"}, {"", "Mic"}, true, {"Mic", "Mic"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<pa::DeviceDescription> devices;
        for (std::size_t i = 0; i < c.listed.size(); ++i) {
            pa::DeviceDescription d{c.listed[i], {}};
            d.guid.bytes[0] = static_cast<uint8_t>(i + 1);  // each id follows its description
            devices.push_back(d);
        }
        auto wave = pa::MakeWaveDevices(c.wave, {});
        EXPECT_EQ(ArrangeInWaveOrder(*wave, pa::WaveDirection::kIn, &devices), c.reordered);
        ASSERT_EQ(devices.size(), c.expected.size());
        for (std::size_t i = 0; i < devices.size(); ++i) {
            EXPECT_EQ(devices[i].description, c.expected[i]) << "position " << i;
            uint8_t id = 0;
            for (std::size_t j = 0; j < c.listed.size(); ++j) {
                if (!c.expected[i].empty() && c.listed[j] == c.expected[i]) {
                    id = static_cast<uint8_t>(j + 1);
                    break;
                }
            }
            EXPECT_EQ(devices[i].guid.bytes[0], id) << "position " << i;
        }
        // The other direction of the same view is empty here: nothing is found there.
        EXPECT_FALSE(ArrangeInWaveOrder(*wave, pa::WaveDirection::kOut, &devices));
    }
}

}  // namespace
}  // namespace zelmar
