#include "devices/DummyWindow.h"

namespace zelmar {

platform::audio::OwnerHandle CreateDummyWindow() { return platform::audio::CreateOwnerHandle(); }

void DestroyDummyWindow(platform::audio::OwnerHandle window) {
    if (window != 0) platform::audio::DestroyOwnerHandle(window);
}

}  // namespace zelmar
