// The owner of a playback device's cooperative level when the host names none: a handle made
// on the building thread and kept by the component until it is destroyed.  There is no
// window and no message loop behind it.
#pragma once

#include "platform/audio/AudioDevice.h"

namespace zelmar {

// Never 0 (0 means "no owner" to the devices).
platform::audio::OwnerHandle CreateDummyWindow();
void DestroyDummyWindow(platform::audio::OwnerHandle window);

}  // namespace zelmar
