# Debian packages the engine links (installed by ./run). Each component's dependency is
# added here, linked into the object library so that the shared library, tests and
# benchmarks all see it.

# PulseAudio client: the sound-device backend (src/platform/audio/PulseAudio.cpp).
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(zelmar_objects PUBLIC PkgConfig::PULSE)

# WebRTC audio processing: the capture effects of the sound-device layer (echo cancellation
# and noise suppression, src/platform/audio/CaptureEffects.cpp).
pkg_check_modules(WEBRTC_AUDIO_PROCESSING REQUIRED IMPORTED_TARGET webrtc-audio-processing)
target_link_libraries(zelmar_objects PUBLIC PkgConfig::WEBRTC_AUDIO_PROCESSING)
