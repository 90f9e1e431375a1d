# Debian packages the engine links (installed by ./run).  They serve the platform layer, whose
# object library passes them on to the shared library, tests and benchmarks.

# PulseAudio client: the sound-device backend (src/platform/audio/PulseAudio.cpp).
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(zelmar_platform PUBLIC PkgConfig::PULSE)

# WebRTC audio processing: the capture effects of the sound-device layer (echo cancellation
# and noise suppression, src/platform/audio/CaptureEffects.cpp).
pkg_check_modules(WEBRTC_AUDIO_PROCESSING REQUIRED IMPORTED_TARGET webrtc-audio-processing)
target_link_libraries(zelmar_platform PUBLIC PkgConfig::WEBRTC_AUDIO_PROCESSING)

# ALSA: the simple mixer of the legacy input-volume paths (src/platform/audio/AlsaInputMixer.cpp).
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
target_link_libraries(zelmar_platform PUBLIC PkgConfig::ALSA)
