// The owner of a playback device's cooperative level when the host names none: a handle made
// on the building thread and kept by the component until it is destroyed.  There is no
// window and no message loop behind it.
#pragma once

#include "platform/audio/AudioDevice.h"

namespace zelmar {

// Never 0 (0 means "no owner" to the devices).
platform::audio::OwnerHandle CreateDummyWindow();
void DestroyDummyWindow(platform::audio::OwnerHandle window);

// The owner a component made for itself: made on first need, then the same one for every
// later Build, destroyed with the component.
class OwnedDummyWindow {
public:
    OwnedDummyWindow() = default;
    OwnedDummyWindow(const OwnedDummyWindow&) = delete;
    OwnedDummyWindow& operator=(const OwnedDummyWindow&) = delete;
    ~OwnedDummyWindow() { DestroyDummyWindow(window_); }

    platform::audio::OwnerHandle Get() {
        if (window_ == 0) window_ = CreateDummyWindow();
        return window_;
    }

private:
    platform::audio::OwnerHandle window_ = 0;
};

}  // namespace zelmar
