# Starts a private PulseAudio server with a null sink for the sound-device tests.
# Sourced by ./run; sets ZELMAR_TEST_SINK (the sink's name) and ZELMAR_TEST_SINK_DESCRIPTION
# (what device lists show for it; its monitor source is "Monitor of <description>") when a
# server is up.
start_sound_server() {
  if ! command -v pulseaudio >/dev/null; then
    echo "sound server: pulseaudio not installed; device integration tests will say so" >&2
    return 0
  fi
  export XDG_RUNTIME_DIR
  XDG_RUNTIME_DIR=$(mktemp -d /tmp/zelmar-pulse.XXXXXX)
  chmod 0700 "$XDG_RUNTIME_DIR"
  export ZELMAR_TEST_SINK=zelmar_test_sink
  export ZELMAR_TEST_SINK_DESCRIPTION=ZelmarTestSink
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  if pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit --system=false \
       -L module-native-protocol-unix -L "module-null-sink sink_name=$ZELMAR_TEST_SINK sink_properties=device.description=$ZELMAR_TEST_SINK_DESCRIPTION" \
       --log-target=file:"$XDG_RUNTIME_DIR/pulse.log" 2>/dev/null; then
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && return 0; sleep 0.1; done
  fi
  echo "sound server: could not start pulseaudio (see $XDG_RUNTIME_DIR/pulse.log)" >&2
  unset ZELMAR_TEST_SINK ZELMAR_TEST_SINK_DESCRIPTION
}

stop_sound_server() {
  [ -n "${XDG_RUNTIME_DIR:-}" ] && pulseaudio --kill 2>/dev/null || true
  # Only the folder start_sound_server made goes.
  case "${XDG_RUNTIME_DIR:-}" in /tmp/zelmar-pulse.*) rm -rf "$XDG_RUNTIME_DIR" ;; esac
}
