#include "platform/audio/PulseAudio.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "platform/audio/BufferRing.h"
#include "platform/audio/CaptureEffects.h"
#include "platform/audio/StreamBuffer.h"

namespace zelmar::platform::audio {
namespace {

constexpr int kConnectTimeoutMs = 3000;
constexpr int kOperationTimeoutMs = 3000;

// A stable 16-byte id from a device name: two 64-bit FNV-1a hashes with different seeds.
DeviceGuid GuidFromName(const char* kind, const std::string& name) {
    DeviceGuid guid;
    const auto hash = [&](uint64_t h) {
        for (const char* p = kind; *p != 0; ++p) h = (h ^ static_cast<uint8_t>(*p)) * 0x100000001b3ull;
        for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
        return h;
    };
    const uint64_t a = hash(0xcbf29ce484222325ull);
    const uint64_t b = hash(0x84222325cbf29ce4ull);
    for (int i = 0; i < 8; ++i) {
        guid.bytes[i] = static_cast<uint8_t>(a >> (8 * i));
        guid.bytes[8 + i] = static_cast<uint8_t>(b >> (8 * i));
    }
    return guid;
}

bool ToSampleSpec(const WAVEFORMATEX& f, pa_sample_spec* spec) {
    if (f.wFormatTag != 1) return false;
    switch (f.wBitsPerSample) {
        case 8: spec->format = PA_SAMPLE_U8; break;
        case 16: spec->format = PA_SAMPLE_S16LE; break;
        case 24: spec->format = PA_SAMPLE_S24LE; break;
        case 32: spec->format = PA_SAMPLE_S32LE; break;
        default: return false;
    }
    spec->rate = f.nSamplesPerSec;
    spec->channels = static_cast<uint8_t>(f.nChannels);
    return f.nChannels != 0 && f.nChannels <= PA_CHANNELS_MAX &&
           f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8) && pa_sample_spec_valid(spec);
}

uint8_t SilenceByte(const WAVEFORMATEX& f) { return f.wBitsPerSample == 8 ? 0x80 : 0x00; }

uint32_t BytesForMs(const WAVEFORMATEX& f, uint32_t ms) {
    const uint32_t frames = std::max<uint32_t>(f.nSamplesPerSec * ms / 1000, 1);
    return frames * f.nBlockAlign;
}

// Whole frames only (a span the server reports may be shorter than one).
uint64_t BytesForUs(const WAVEFORMATEX& f, uint64_t us) { return us * f.nSamplesPerSec / 1000000 * f.nBlockAlign; }

// One connection to the server: a threaded main loop and a context.
class Connection {
public:
    ~Connection() {
        if (loop_ == nullptr) return;
        pa_threaded_mainloop_lock(loop_);
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }

    static DsResult Open(const std::string& server, std::shared_ptr<Connection>* out) {
        auto connection = std::shared_ptr<Connection>(new Connection);
        Connection& c = *connection;
        c.loop_ = pa_threaded_mainloop_new();
        if (c.loop_ == nullptr) return kDsErrOutOfMemory;
        c.context_ = pa_context_new(pa_threaded_mainloop_get_api(c.loop_), "Zelmar");
        if (c.context_ == nullptr) return kDsErrOutOfMemory;
        pa_context_set_state_callback(c.context_, &Connection::OnContextState, &c);
        // Never spawn a server: with none running, the virtual devices serve.
        if (pa_context_connect(c.context_, server.empty() ? nullptr : server.c_str(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return kDsErrNoDriver;
        }
        if (pa_threaded_mainloop_start(c.loop_) < 0) return kDsErrFail;
        const bool ready = c.WaitFor([&c] {
            const pa_context_state_t state = pa_context_get_state(c.context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        }, kConnectTimeoutMs) && pa_context_get_state(c.context_) == PA_CONTEXT_READY;
        if (!ready) return kDsErrNoDriver;
        *out = std::move(connection);
        return kDsOk;
    }

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    bool alive() const { return !dead_; }

    // Takes the main-loop lock for a scope.
    class Guard {
    public:
        explicit Guard(const Connection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Guard() { pa_threaded_mainloop_unlock(loop_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    // With the lock NOT held: polls `done` (under the lock) until true or the time-out.
    // Polling rather than waiting on a signal bounds the wait even if the server hangs.
    template <typename Done>
    bool WaitFor(Done done, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            {
                Guard guard(*this);
                if (done()) return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // With the lock NOT held: waits for an operation to finish, then drops it.
    bool Complete(pa_operation* operation) {
        if (operation == nullptr) return false;
        const bool done = WaitFor([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING || dead_; },
                                  kOperationTimeoutMs);
        Guard guard(*this);
        if (!done) pa_operation_cancel(operation);
        const bool finished = pa_operation_get_state(operation) == PA_OPERATION_DONE;
        pa_operation_unref(operation);
        return done && finished;
    }

private:
    Connection() = default;

    static void OnContextState(pa_context* context, void* self) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
            static_cast<Connection*>(self)->dead_ = true;
        }
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> dead_{false};
};

struct ListedDevice {
    uint32_t index;
    std::string name;
    std::string description;
    std::string monitor;  // sinks: the source that hears what the sink plays
};

struct ListRequest {
    std::vector<ListedDevice> devices;
};

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* request) {
    if (eol == 0 && info != nullptr) {
        static_cast<ListRequest*>(request)->devices.push_back(
            {info->index, info->name ? info->name : "", info->description ? info->description : "", ""});
    }
}

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* request) {
    if (eol == 0 && info != nullptr) {
        static_cast<ListRequest*>(request)->devices.push_back(
            {info->index, info->name ? info->name : "", info->description ? info->description : "",
             info->monitor_source_name ? info->monitor_source_name : ""});
    }
}

DsResult ListDevices(Connection& connection, bool capture, std::vector<ListedDevice>* devices) {
    ListRequest request;
    pa_operation* operation;
    {
        Connection::Guard guard(connection);
        operation = capture ? pa_context_get_source_info_list(connection.context(), &OnSourceInfo, &request)
                            : pa_context_get_sink_info_list(connection.context(), &OnSinkInfo, &request);
    }
    if (!connection.Complete(operation)) return kDsErrNoDriver;
    // The server's index order is the order devices appeared in: stable while they stay.
    std::sort(request.devices.begin(), request.devices.end(),
              [](const ListedDevice& a, const ListedDevice& b) { return a.index < b.index; });
    *devices = std::move(request.devices);
    return kDsOk;
}

void OnSuccess(pa_stream*, int, void*) {}

// One stream and the looping buffer it feeds or drains.  The ring and the stream counter are
// touched by the main-loop thread (callbacks) and by the caller (under the main-loop lock).
class PulseStream {
public:
    PulseStream(std::shared_ptr<Connection> connection, bool capture)
        : connection_(std::move(connection)), capture_(capture) {}

    ~PulseStream() {
        if (stream_ == nullptr) return;
        Connection::Guard guard(*connection_);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }

    DsResult Open(const std::string& device, uint32_t bufferBytes, const WAVEFORMATEX& format) {
        pa_sample_spec spec;
        if (!ToSampleSpec(format, &spec)) return kDsErrBadFormat;
        if (bufferBytes < 4 || bufferBytes > 0x0FFFFFFF) return kDsErrInvalidParam;
        format_ = format;
        if (!ring_.Allocate(bufferBytes, SilenceByte(format))) return kDsErrOutOfMemory;
        const uint32_t fragment = BytesForMs(format, kPulseFragmentMs);
        // What the device holds between its cursors never reaches a whole buffer.
        lead_ = std::min(fragment, bufferBytes > format.nBlockAlign ? bufferBytes - format.nBlockAlign : 0u);

        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(-1);
        attr.fragsize = fragment;
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_INTERPOLATE_TIMING);
        if (capture_) {
            flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_ADJUST_LATENCY);
        } else {
            // A deep queue at the server rides out a main-loop thread that runs late, and costs
            // no latency: the write cursor stands just past what the sink has read, and a write
            // into the queue replaces what it held (see ResendChangedLocked).  Early requests
            // keep the sink's own buffer at one request.  The stream's clock may step back: a
            // sink that holds a new stream back (an idle null sink, for up to 2 s) otherwise
            // leaves it ahead, and the write cursor at the end of the queue, until the sink
            // catches up; the write cursor itself never goes back.
            const uint32_t half = bufferBytes / 2 - bufferBytes / 2 % format.nBlockAlign;
            attr.tlength = std::max<uint32_t>(std::min(BytesForMs(format, kPulsePlaybackQueueMs), half), format.nBlockAlign);
            attr.minreq = std::min(BytesForMs(format, kPulseRequestMs), attr.tlength);
            queueBytes_ = attr.tlength;
            flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_EARLY_REQUESTS | PA_STREAM_NOT_MONOTONIC);
        }
        {
            Connection::Guard guard(*connection_);
            stream_ = pa_stream_new(connection_->context(), capture_ ? "Zelmar capture" : "Zelmar playback",
                                    &spec, nullptr);
            if (stream_ == nullptr) return kDsErrOutOfMemory;
            pa_stream_set_state_callback(stream_, &PulseStream::OnState, this);
            const char* target = device.empty() ? nullptr : device.c_str();
            int connected;
            if (capture_) {
                pa_stream_set_read_callback(stream_, &PulseStream::OnRead, this);
                connected = pa_stream_connect_record(stream_, target, &attr, flags);
            } else {
                pa_stream_set_write_callback(stream_, &PulseStream::OnWrite, this);
                connected = pa_stream_connect_playback(stream_, target, &attr, flags, nullptr, nullptr);
            }
            if (connected < 0) return kDsErrNoDriver;
        }
        const bool ready = connection_->WaitFor([this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        }, kOperationTimeoutMs);
        Connection::Guard guard(*connection_);
        return ready && pa_stream_get_state(stream_) == PA_STREAM_READY ? kDsOk : kDsErrNoDriver;
    }

    DsResult GetCurrentPosition(uint32_t* first, uint32_t* second) {
        Connection::Guard guard(*connection_);
        if (!UsableLocked()) return capture_ ? kDsErrNoDriver : kDsErrBufferLost;
        const uint32_t size = ring_.size();
        const uint32_t at = static_cast<uint32_t>(total_ % size);
        if (capture_) {
            // The read cursor is what the server has delivered; the next fragment is in flight.
            if (first != nullptr) *first = running_ ? static_cast<uint32_t>((total_ + lead_) % size) : at;
            if (second != nullptr) *second = at;
        } else {
            const uint64_t play = AdvanceWriteCursorLocked();
            if (first != nullptr) *first = static_cast<uint32_t>(play % size);
            if (second != nullptr) *second = static_cast<uint32_t>(writeCursor_ % size);
        }
        return kDsOk;
    }

    DsResult Lock(uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2, uint32_t* n2,
                  uint32_t flags) {
        Connection::Guard guard(*connection_);
        if (capture_) return ring_.Lock(offset, bytes, static_cast<uint32_t>(total_ % ring_.size()), p1, n1, p2, n2, flags);
        if (!UsableLocked()) return kDsErrBufferLost;
        if (flags & kLockFromWriteCursor) AdvanceWriteCursorLocked();  // Unlock brings it up to date anyway
        return ring_.Lock(offset, bytes, static_cast<uint32_t>(writeCursor_ % ring_.size()), p1, n1, p2, n2, flags);
    }

    DsResult Unlock(void* p1, uint32_t n1, void* p2, uint32_t n2) {
        Connection::Guard guard(*connection_);
        const DsResult result = ring_.Unlock(p1, n1, p2, n2, /*writeBack=*/!capture_);
        if (result == kDsOk && !capture_ && UsableLocked()) ResendChangedLocked({{p1, n1}, {p2, n2}});
        return result;
    }

    DsResult SetNotificationPositions(uint32_t count, const PositionNotify* positions) {
        Connection::Guard guard(*connection_);
        if (running_) return kDsErrInvalidCall;
        return ring_.SetNotifications(count, positions);
    }

    DsResult GetCaps(BufferCaps* caps) {
        if (caps == nullptr) return kDsErrInvalidParam;
        Connection::Guard guard(*connection_);
        caps->flags = 0;
        caps->bufferBytes = ring_.size();
        return kDsOk;
    }

    DsResult GetFormat(WAVEFORMATEX* format) {
        if (format == nullptr) return kDsErrInvalidParam;
        *format = format_;
        return kDsOk;
    }

    DsResult Run() {
        pa_operation* operation;
        {
            Connection::Guard guard(*connection_);
            if (!UsableLocked()) return capture_ ? kDsErrNoDriver : kDsErrBufferLost;
            if (running_) return kDsOk;
            running_ = true;
            if (!capture_) {
                // Requests made while stopped were left open: answer them from the ring now.
                const size_t writable = pa_stream_writable_size(stream_);
                if (writable != static_cast<size_t>(-1) && writable > 0) FeedLocked(writable);
            }
            operation = pa_stream_cork(stream_, 0, &OnSuccess, nullptr);
        }
        if (!connection_->Complete(operation)) {
            Connection::Guard guard(*connection_);
            running_ = false;
            return capture_ ? kDsErrNoDriver : kDsErrBufferLost;
        }
        return kDsOk;
    }

    DsResult Stop() {
        pa_operation* operation;
        {
            Connection::Guard guard(*connection_);
            if (!running_) return kDsOk;
            running_ = false;
            ring_.NotifyStopped();
            if (!UsableLocked()) return kDsOk;  // a device that went away has stopped anyway
            operation = pa_stream_cork(stream_, 1, &OnSuccess, nullptr);
        }
        connection_->Complete(operation);
        return kDsOk;
    }

    DsResult Restore() {
        Connection::Guard guard(*connection_);
        return UsableLocked() ? kDsOk : kDsErrBufferLost;
    }

private:
    bool UsableLocked() const {
        return connection_->alive() && stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY;
    }

    // Bytes the server holds that have not been heard yet, kept inside the buffer and never 0
    // while running, so play and write differ as they do on a playing device.
    uint32_t HeldBytesLocked() const {
        pa_usec_t latencyUs = 0;
        int negative = 0;
        uint64_t held;
        if (pa_stream_get_latency(stream_, &latencyUs, &negative) == 0 && negative == 0) {
            held = BytesForUs(format_, latencyUs);
        } else {
            held = queueBytes_;
        }
        const uint32_t align = format_.nBlockAlign;
        const uint32_t most = ring_.size() > align ? ring_.size() - align : 0;
        held = std::min<uint64_t>(held, std::min<uint64_t>(total_, most));
        return std::max<uint32_t>(static_cast<uint32_t>(held), std::min(align, most));
    }

    // Answers a server request: the ring's next `bytes` after what was sent.
    void FeedLocked(size_t bytes) {
        bytes -= bytes % format_.nBlockAlign;
        SendLocked(total_, total_ + bytes);
    }

    // Sends the ring's stream bytes [from, to) to the server; `from` before total_ replaces
    // what the server holds there.
    void SendLocked(uint64_t from, uint64_t to) {
        for (uint64_t at = from; at < to;) {
            void* target = nullptr;
            size_t chunk = static_cast<size_t>(std::min<uint64_t>(to - at, ring_.size()));
            if (pa_stream_begin_write(stream_, &target, &chunk) < 0 || target == nullptr || chunk == 0) return;
            chunk -= chunk % format_.nBlockAlign;
            if (chunk == 0) {
                pa_stream_cancel_write(stream_);
                return;
            }
            ring_.ReadAt(at, static_cast<uint8_t*>(target), static_cast<uint32_t>(chunk));
            const auto seek = static_cast<int64_t>(at) - static_cast<int64_t>(serverAt_);
            if (pa_stream_write(stream_, target, chunk, nullptr, seek, PA_SEEK_RELATIVE) < 0) return;
            at += chunk;
            serverAt_ = at;
            total_ = std::max(total_, at);
        }
    }

    // What a write just put into the ring the server already holds unread ([write cursor,
    // total_)) goes again, from its first changed byte to the end of the queue, so that the
    // server's write position ends where it was.
    void ResendChangedLocked(std::initializer_list<std::pair<void*, uint32_t>> parts) {
        AdvanceWriteCursorLocked();
        const uint64_t size = ring_.size();
        uint64_t from = total_;
        for (const auto& [part, count] : parts) {
            if (count == 0) continue;
            const uint64_t offset = ring_.OffsetOf(part);
            // The queue is shorter than the ring: the part meets it in at most two laps.
            for (uint64_t lap = writeCursor_ - writeCursor_ % size; lap < total_; lap += size) {
                const uint64_t start = std::max(lap + offset, writeCursor_);
                if (start < std::min(lap + offset + count, total_)) from = std::min(from, start);
            }
        }
        from -= (from - writeCursor_) % format_.nBlockAlign;
        if (from < total_) SendLocked(from, total_);
    }

    // Moves the playback write cursor on to the sink's buffer and the margin past the play
    // cursor (never back, never past what the server holds), setting the events of the
    // positions it passes and handing them to the echo reference; returns the play cursor.
    uint64_t AdvanceWriteCursorLocked() {
        if (!running_) return writeCursor_;
        const uint64_t play = total_ - HeldBytesLocked();
        const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
        const pa_usec_t sinkUs = timing != nullptr ? timing->configured_sink_usec : kPulseRequestMs * 1000;
        const uint64_t ahead = std::min<uint64_t>(
            BytesForUs(format_, sinkUs) +
                BytesForMs(format_, echoReference_ ? kPulseEchoReferenceMarginMs : kPulseRewriteMarginMs),
            queueBytes_);
        const uint64_t write = std::min(std::max(play + ahead, writeCursor_), total_);
        if (write <= writeCursor_) return play;
        ring_.NotifyPassed(writeCursor_, write);
        if (echoReference_) {
            const uint32_t size = ring_.size();
            for (uint64_t at = writeCursor_; at < write;) {
                const auto offset = static_cast<uint32_t>(at % size);
                const auto count = static_cast<uint32_t>(std::min<uint64_t>(write - at, size - offset));
                // Heard once the play cursor reaches it (a clock that stepped on may have put
                // the play cursor past it already).
                const int64_t aheadOfPlay = static_cast<int64_t>(at) - static_cast<int64_t>(play);
                echoReference_->Render(format_, ring_.data() + offset, count,
                                       NowUs() + aheadOfPlay * 1000000 / format_.nAvgBytesPerSec);
                at += count;
            }
        }
        writeCursor_ = write;
        return play;
    }

    static void OnState(pa_stream*, void* self) {
        auto& s = *static_cast<PulseStream*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream_))) s.ring_.NotifyStopped();
    }

    // The stream's latency as the server reports it (0 while unknown), at most 1 s.
    int64_t LatencyUsLocked() const {
        pa_usec_t latencyUs = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream_, &latencyUs, &negative) != 0 || negative != 0) return 0;
        return static_cast<int64_t>(std::min<pa_usec_t>(latencyUs, 1000000));
    }
    static int64_t NowUs() {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    static void OnRead(pa_stream* stream, size_t, void* self) {
        auto& s = *static_cast<PulseStream*>(self);
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
            // A hole (data null) is audio the server could not deliver: silence.
            if (s.running_) {
                // The last byte was captured the stream's latency ago.
                const int64_t firstAtUs = NowUs() - s.LatencyUsLocked() -
                                          static_cast<int64_t>(bytes * 1000000 / s.format_.nAvgBytesPerSec);
                uint64_t at = s.total_;
                size_t left = bytes;
                const auto* source = static_cast<const uint8_t*>(data);
                while (left > 0) {
                    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(left, s.ring_.size()));
                    if (source != nullptr) {
                        s.ring_.WriteAt(at, source, chunk);
                        source += chunk;
                    } else {
                        s.ring_.FillAt(at, SilenceByte(s.format_), chunk);
                    }
                    if (s.effects) {
                        s.ProcessEffectsLocked(at, chunk, firstAtUs + static_cast<int64_t>(
                            (at - s.total_) * 1000000 / s.format_.nAvgBytesPerSec));
                    }
                    at += chunk;
                    left -= chunk;
                }
                s.ring_.NotifyPassed(s.total_, at);
                s.total_ = at;
            }
            pa_stream_drop(stream);
        }
    }

    static void OnWrite(pa_stream*, size_t bytes, void* self) {
        auto& s = *static_cast<PulseStream*>(self);
        // While stopped the request stays open; Run answers it.
        if (!s.running_) return;
        s.FeedLocked(bytes);
        s.AdvanceWriteCursorLocked();
    }

public:
    std::shared_ptr<CaptureEffects> effects;  // capture streams made with effects

    void SetEchoReference(std::shared_ptr<CaptureEffects> reference) {
        Connection::Guard guard(*connection_);
        echoReference_ = std::move(reference);
    }

private:
    // The ring bytes [at, at + count) of the stream, just captured, through the effects.
    void ProcessEffectsLocked(uint64_t at, uint32_t count, int64_t capturedAtUs) {
        const uint32_t size = ring_.size();
        const uint32_t offset = static_cast<uint32_t>(at % size);
        const uint32_t first = std::min(count, size - offset);
        effects->Process(ring_.data() + offset, first, capturedAtUs);
        if (count > first) {
            effects->Process(ring_.data(), count - first,
                             capturedAtUs + static_cast<int64_t>(uint64_t{first} * 1000000 / format_.nAvgBytesPerSec));
        }
    }

    std::shared_ptr<Connection> connection_;
    std::shared_ptr<CaptureEffects> echoReference_;  // fed what this playback stream plays
    const bool capture_;
    pa_stream* stream_ = nullptr;
    BufferRing ring_;
    WAVEFORMATEX format_{};
    bool running_ = false;
    uint64_t total_ = 0;  // stream bytes captured, or sent to the server for playback
    uint32_t lead_ = 0;
    // Playback: the server's write position as the last write left it (total_, unless a
    // resend failed), the queue asked of it, and the write cursor as last given out:
    // everything before it is final, its events set and the echo reference fed.
    uint64_t serverAt_ = 0;
    uint32_t queueBytes_ = 0;
    uint64_t writeCursor_ = 0;
};

class PulseCaptureBuffer final : public StreamBuffer<ICaptureBuffer, PulseStream> {
public:
    explicit PulseCaptureBuffer(std::shared_ptr<Connection> c) : StreamBuffer(std::move(c), true) {}

    DsResult Start(uint32_t) override { return stream_.Run(); }
    DsResult GetObjectInPath(CaptureEffect kind, std::unique_ptr<ICaptureEffect>* effect) override {
        return EffectInPath(stream_, kind, effect);
    }
    std::shared_ptr<CaptureEffects> Effects() override { return stream_.effects; }
};

class PulsePlaybackBuffer final : public StreamBuffer<IPlaybackBuffer, PulseStream> {
public:
    explicit PulsePlaybackBuffer(std::shared_ptr<Connection> c) : StreamBuffer(std::move(c), false) {}

    DsResult Play(uint32_t) override { return stream_.Run(); }
    DsResult Restore() override { return stream_.Restore(); }
    DsResult SetFormat(const WAVEFORMATEX&) override { return kDsErrInvalidCall; }
    void SetEchoReference(std::shared_ptr<CaptureEffects> effects) override { stream_.SetEchoReference(std::move(effects)); }
};

// The primary buffer: the server mixes, so it only keeps the format it is told.
class PulsePrimaryBuffer final : public IPlaybackBuffer {
public:
    DsResult GetCurrentPosition(uint32_t*, uint32_t*) override { return kDsErrInvalidCall; }
    DsResult Lock(uint32_t, uint32_t, void**, uint32_t*, void**, uint32_t*, uint32_t) override { return kDsErrInvalidCall; }
    DsResult Unlock(void*, uint32_t, void*, uint32_t) override { return kDsErrInvalidCall; }
    DsResult SetNotificationPositions(uint32_t, const PositionNotify*) override { return kDsErrInvalidCall; }
    DsResult GetCaps(BufferCaps* caps) override {
        if (caps == nullptr) return kDsErrInvalidParam;
        *caps = BufferCaps{kBufferPrimary, 0};
        return kDsOk;
    }
    DsResult GetFormat(WAVEFORMATEX* f) override {
        if (f == nullptr) return kDsErrInvalidParam;
        *f = format_;
        return kDsOk;
    }
    DsResult Stop() override { return kDsOk; }
    DsResult Play(uint32_t) override { return kDsOk; }
    DsResult Restore() override { return kDsOk; }
    DsResult SetFormat(const WAVEFORMATEX& format) override {
        pa_sample_spec spec;
        if (!ToSampleSpec(format, &spec)) return kDsErrBadFormat;
        format_ = format;
        return kDsOk;
    }

private:
    WAVEFORMATEX format_{1, 2, 22050, 44100, 2, 8, 0};
};

class PulseCaptureDevice final : public ICaptureDevice {
public:
    PulseCaptureDevice(std::shared_ptr<Connection> c, std::string name) : connection_(std::move(c)), name_(std::move(name)) {}
    DsResult GetCaps(DeviceCaps* caps) override {
        if (caps == nullptr) return kDsErrInvalidParam;
        *caps = DeviceCaps{0, 1, PA_RATE_MAX, PA_CHANNELS_MAX};
        return kDsOk;
    }
    DsResult CreateCaptureBuffer(const CaptureBufferDesc& desc, std::unique_ptr<ICaptureBuffer>* buffer) override {
        if (buffer == nullptr) return kDsErrInvalidParam;
        std::shared_ptr<CaptureEffects> effects;
        if ((desc.flags & kCaptureBufferCtrlFx) && (desc.echoCancellation || desc.noiseSuppression)) {
            effects = CaptureEffects::Create(desc.format, desc.echoCancellation, desc.noiseSuppression);
            if (!effects) return kDsErrFxUnavailable;
        }
        auto created = std::make_unique<PulseCaptureBuffer>(connection_);
        // Set before the stream opens: its callbacks use it from then on.
        created->stream().effects = std::move(effects);
        if (DsResult result = created->stream().Open(name_, desc.bufferBytes, desc.format)) return result;
        *buffer = std::move(created);
        return kDsOk;
    }

private:
    std::shared_ptr<Connection> connection_;
    std::string name_;
};

class PulsePlaybackDevice final : public IPlaybackDevice {
public:
    PulsePlaybackDevice(std::shared_ptr<Connection> c, std::string name) : connection_(std::move(c)), name_(std::move(name)) {}
    DsResult SetCooperativeLevel(OwnerHandle owner, uint32_t level) override {
        if (owner == 0 || level < kCooperativeNormal || level > kCooperativeWritePrimary) return kDsErrInvalidParam;
        level_ = level;
        return kDsOk;
    }
    DsResult GetCaps(DeviceCaps* caps) override {
        if (caps == nullptr) return kDsErrInvalidParam;
        *caps = DeviceCaps{0, 1, PA_RATE_MAX, PA_CHANNELS_MAX};
        return kDsOk;
    }
    DsResult CreateSoundBuffer(const PlaybackBufferDesc& desc, std::unique_ptr<IPlaybackBuffer>* buffer) override {
        if (buffer == nullptr) return kDsErrInvalidParam;
        if (level_ == 0) return kDsErrInvalidCall;
        if (desc.flags & kBufferPrimary) {
            if (desc.bufferBytes != 0 || desc.hasFormat) return kDsErrInvalidParam;
            *buffer = std::make_unique<PulsePrimaryBuffer>();
            return kDsOk;
        }
        if (!desc.hasFormat) return kDsErrBadFormat;
        auto created = std::make_unique<PulsePlaybackBuffer>(connection_);
        if (DsResult result = created->stream().Open(name_, desc.bufferBytes, desc.format)) return result;
        *buffer = std::move(created);
        return kDsOk;
    }

private:
    std::shared_ptr<Connection> connection_;
    std::string name_;
    uint32_t level_ = 0;
};

class PulseAudioService final : public IAudioService {
public:
    explicit PulseAudioService(std::string server) : server_(std::move(server)) {}

    DsResult EnumerateCapture(std::vector<DeviceDescription>* devices) override { return Enumerate(true, devices); }
    DsResult EnumeratePlayback(std::vector<DeviceDescription>* devices) override { return Enumerate(false, devices); }

    DsResult CreateCapture(const DeviceGuid* id, std::unique_ptr<ICaptureDevice>* device) override {
        if (device == nullptr) return kDsErrInvalidParam;
        std::shared_ptr<Connection> connection;
        std::string name;
        if (DsResult result = Resolve(true, id, &connection, &name)) return result;
        *device = std::make_unique<PulseCaptureDevice>(std::move(connection), std::move(name));
        return kDsOk;
    }
    DsResult CreatePlayback(const DeviceGuid* id, std::unique_ptr<IPlaybackDevice>* device) override {
        if (device == nullptr) return kDsErrInvalidParam;
        std::shared_ptr<Connection> connection;
        std::string name;
        if (DsResult result = Resolve(false, id, &connection, &name)) return result;
        *device = std::make_unique<PulsePlaybackDevice>(std::move(connection), std::move(name));
        return kDsOk;
    }
    DsResult CreateFullDuplex(const DeviceGuid* captureId, const DeviceGuid* playbackId,
                              const CaptureBufferDesc& captureDesc, const PlaybackBufferDesc& playbackDesc,
                              OwnerHandle owner, uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                              std::unique_ptr<ICaptureBuffer>* captureBuffer,
                              std::unique_ptr<IPlaybackBuffer>* playbackBuffer) override {
        return CreateFullDuplexFromDevices(*this, captureId, playbackId, captureDesc, playbackDesc, owner, level,
                                           duplex, captureBuffer, playbackBuffer);
    }

    DsResult MonitorOf(const DeviceGuid* playbackId, DeviceGuid* monitorId) override {
        if (monitorId == nullptr) return kDsErrInvalidParam;
        std::shared_ptr<Connection> connection;
        if (DsResult result = Connection::Open(server_, &connection)) return result;
        std::vector<ListedDevice> sinks;
        if (DsResult result = ListDevices(*connection, false, &sinks)) return result;
        for (const ListedDevice& sink : sinks) {
            if (playbackId != nullptr && GuidFromName("sink:", sink.name) != *playbackId) continue;
            if (sink.monitor.empty()) return kDsErrUnsupported;
            *monitorId = GuidFromName("source:", sink.monitor);
            return kDsOk;
        }
        return kDsErrNoDriver;
    }

private:
    DsResult Enumerate(bool capture, std::vector<DeviceDescription>* devices) {
        if (devices == nullptr) return kDsErrInvalidParam;
        std::shared_ptr<Connection> connection;
        if (DsResult result = Connection::Open(server_, &connection)) return result;
        std::vector<ListedDevice> listed;
        if (DsResult result = ListDevices(*connection, capture, &listed)) return result;
        devices->clear();
        for (const ListedDevice& d : listed) {
            devices->push_back({d.description.empty() ? d.name : d.description,
                                GuidFromName(capture ? "source:" : "sink:", d.name)});
        }
        return kDsOk;
    }

    // Connects and finds the server's name of the device `id` (null: the default device).
    DsResult Resolve(bool capture, const DeviceGuid* id, std::shared_ptr<Connection>* connection, std::string* name) {
        if (DsResult result = Connection::Open(server_, connection)) return result;
        name->clear();
        if (id == nullptr) return kDsOk;
        std::vector<ListedDevice> listed;
        if (DsResult result = ListDevices(**connection, capture, &listed)) return result;
        for (const ListedDevice& d : listed) {
            if (GuidFromName(capture ? "source:" : "sink:", d.name) == *id) {
                *name = d.name;
                return kDsOk;
            }
        }
        connection->reset();
        return kDsErrNoDriver;
    }

    std::string server_;
};

}  // namespace

std::unique_ptr<IAudioService> CreatePulseAudioService(const std::string& server) {
    return std::make_unique<PulseAudioService>(server);
}

}  // namespace zelmar::platform::audio
