// Device numbering in waveIn / waveOut order.
//
// Hosts of the second-generation device components number devices as the multimedia device
// calls do, while devices are opened from the sound-device list.  The two lists hold the same
// devices, but the multimedia names are cut to 31 characters, so a listed device is found by
// its first characters: list entry e matches multimedia device d when
// strncmp(description(e), name(d), n) == 0 with n = min(strlen(name(d)), 32).
#pragma once

#include <cstddef>
#include <vector>

#include "platform/audio/AudioDevice.h"
#include "platform/audio/WaveDevices.h"

namespace zelmar {

// Puts `devices` (a device list as the service enumerates it, already cut to its first
// DeviceList::kMaxDevices entries) into the order of `wave`'s devices of `direction`.
//
// For each multimedia device d below min(Count, 16) whose caps can be read, the first list
// entry (of the first 16, skipping entries with an empty description) that matches its name
// goes to position d.  Only when every listed device found a place this way (the matches
// count equals the list's size) does the list take the new order, keeping its size: positions
// no multimedia device filled hold an empty description and a zero id.  Otherwise the list
// stays as it was.  Returns true when the list was reordered; `matches`, when given,
// receives how many multimedia devices found an entry.
//
// Two multimedia devices may match the same entry (one name a prefix of another's first 31
// characters); both positions then hold that entry, as the multimedia numbering does.
bool ArrangeInWaveOrder(platform::audio::IWaveDevices& wave, platform::audio::WaveDirection direction,
                        std::vector<platform::audio::DeviceDescription>* devices, std::size_t* matches = nullptr);

}  // namespace zelmar
