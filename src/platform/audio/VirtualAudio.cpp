#include "platform/audio/VirtualAudio.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Platform.h"
#include "platform/audio/BufferRing.h"
#include "platform/audio/WaveDevices.h"
#include "platform/audio/CaptureEffects.h"
#include "platform/audio/StreamBuffer.h"

namespace zelmar::platform::audio {
namespace {

constexpr DeviceGuid kCaptureGuid{{0x5a, 0x65, 0x6c, 0x6d, 0x61, 0x72, 0x56, 0x43,
                                   0x61, 0x70, 0x74, 0x75, 0x72, 0x65, 0x00, 0x01}};
constexpr DeviceGuid kPlaybackGuid{{0x5a, 0x65, 0x6c, 0x6d, 0x61, 0x72, 0x56, 0x50,
                                    0x6c, 0x61, 0x79, 0x62, 0x61, 0x63, 0x6b, 0x01}};
constexpr DeviceGuid kMonitorGuid{{0x5a, 0x65, 0x6c, 0x6d, 0x61, 0x72, 0x56, 0x4d,
                                   0x6f, 0x6e, 0x69, 0x74, 0x6f, 0x72, 0x00, 0x01}};
// DirectSound's own limits on a secondary buffer's size.
constexpr uint32_t kMinBufferBytes = 4;
constexpr uint32_t kMaxBufferBytes = 0x0FFFFFFF;
// The loopback holds at most this much unread audio; older audio is dropped, as a device
// overruns when nobody captures.
constexpr uint32_t kLoopbackMaxMs = 2000;
constexpr uint32_t kPrimaryBufferMs = 100;

bool IsPlayableFormat(const WAVEFORMATEX& f) {
    if (f.wFormatTag != 1 || f.nChannels == 0 || f.nChannels > 8) return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16 && f.wBitsPerSample != 24 &&
        f.wBitsPerSample != 32) {
        return false;
    }
    if (f.nSamplesPerSec < 1 || f.nSamplesPerSec > 384000) return false;
    return f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8) &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.wBitsPerSample == b.wBitsPerSample;
}

uint8_t SilenceByte(const WAVEFORMATEX& f) { return f.wBitsPerSample == 8 ? 0x80 : 0x00; }

bool IsVirtualClock(ITimeService* clock) { return dynamic_cast<VirtualTimeService*>(clock) != nullptr; }

}  // namespace

class VirtualStream;

struct VirtualAudioService::Hub {
    std::mutex mutex;
    ScriptedInput script;
    ScriptedInput monitorScript;
    PlaybackTap tap;
    bool loopback = true;
    bool stalled = false;
    bool reportStopped = false;
    uint32_t playbackCapsFlags = 0;
    std::optional<std::pair<std::vector<std::string>, std::vector<std::string>>> waveNames;
    int failTimes[static_cast<int>(Operation::kCount)] = {};
    DsResult failResult[static_cast<int>(Operation::kCount)] = {};
    std::vector<VirtualStream*> streams;
    uint32_t lastBufferBytes = 0;
    std::deque<uint8_t> loop;
    WAVEFORMATEX loopFormat{};
    uint32_t loopDelayMs = 0;
    std::optional<LoopbackRoom> room;
    VirtualRoom roomPath;
    WAVEFORMATEX roomFormat{};
    std::deque<uint8_t> nothingPlayed;  // what the room hears before anything played

    // Locked.  Silence the loop starts with: the echo path's delay, less what the room's
    // interpolator adds.
    uint64_t LoopDelayFrames(const WAVEFORMATEX& f) const {
        const uint64_t frames = uint64_t{f.nSamplesPerSec} * loopDelayMs / 1000;
        const uint64_t interpolation = room ? VirtualRoom::kInterpolatorTaps / 2 : 0;
        return frames > interpolation ? frames - interpolation : 0;
    }
    bool RoomHears(const WAVEFORMATEX& f) const { return room && f.wFormatTag == 1 && f.wBitsPerSample == 16; }

    std::thread pump;
    std::atomic<bool> pumpStop{false};

    ~Hub() {
        pumpStop = true;
        if (pump.joinable()) pump.join();
    }

    // Locked.  The injected failure for `op`, or 0.
    DsResult TakeFault(Operation op) {
        const int i = static_cast<int>(op);
        if (failTimes[i] <= 0) return kDsOk;
        --failTimes[i];
        return failResult[i];
    }
    DsResult Fault(Operation op) {
        std::lock_guard<std::mutex> lock(mutex);
        return TakeFault(op);
    }
    void AdvanceAllLocked(bool playbackOnly);
    void StartPumpLocked();
    // Tells each virtual clock of the buffers when a cursor next passes a notification
    // position, so that a thread waiting for that notification is woken at that moment.
    void RescheduleLocked();

    std::weak_ptr<Hub> self;
    // Wake sources registered with virtual clocks (few: normally one clock).
    std::map<VirtualTimeService*, int64_t> wakeSources;

    // The hub's lock for one operation; on release the clocks learn the next notification.
    class OperationLock {
    public:
        explicit OperationLock(Hub& hub) : hub_(hub), lock_(hub.mutex) {}
        ~OperationLock() { hub_.RescheduleLocked(); }
        OperationLock(const OperationLock&) = delete;
        OperationLock& operator=(const OperationLock&) = delete;

    private:
        Hub& hub_;
        std::lock_guard<std::mutex> lock_;
    };
};

// One virtual buffer, capture or playback.  All state is guarded by the hub's mutex, which
// every operation takes: the buffers of one service form one device world and move together.
class VirtualStream {
public:
    using Operation = VirtualAudioService::Operation;

    VirtualStream(std::shared_ptr<VirtualAudioService::Hub> hub, bool capture, bool primary)
        : hub_(std::move(hub)), clock_(Current().time), virtualClock_(dynamic_cast<VirtualTimeService*>(clock_)),
          capture_(capture), primary_(primary) {
        lastMs_ = clock_->NowMs();
    }
    ~VirtualStream() {
        std::lock_guard<std::mutex> plain(hub_->mutex);
        auto& streams = hub_->streams;
        streams.erase(std::remove(streams.begin(), streams.end(), this), streams.end());
    }

    DsResult Init(uint32_t bytes, const WAVEFORMATEX& format) {
        format_ = format;
        if (!ring_.Allocate(bytes, SilenceByte(format))) return kDsErrOutOfMemory;
        lead_ = LeadBytes();
        std::lock_guard<std::mutex> plain(hub_->mutex);
        hub_->streams.push_back(this);
        if (!primary_) hub_->lastBufferBytes = bytes;
        return kDsOk;
    }

    bool capture() const { return capture_; }

    // Locked.  The virtual clock's moment (µs) when the cursor next passes a notification
    // position; kNeverUs when it will not (stopped, stalled, lost, no notifications, or a
    // clock that is not virtual).
    int64_t NextNotificationUsLocked() const {
        if (virtualClock_ == nullptr || !running_ || hub_->stalled || lost_) return VirtualTimeService::kNeverUs;
        const uint64_t position = ring_.NextNotificationPosition(total_);
        if (position == UINT64_MAX || format_.nBlockAlign == 0 || format_.nSamplesPerSec == 0) {
            return VirtualTimeService::kNeverUs;
        }
        // The position is passed once the cursor is beyond it.
        const uint64_t frames = (position + 1 - total_ + format_.nBlockAlign - 1) / format_.nBlockAlign;
        const uint64_t elapsedMs = (frames * 1000 - frameRemainder_ + format_.nSamplesPerSec - 1) / format_.nSamplesPerSec;
        // lastMs_ is the clock's millisecond (wrapping at 2^32) when the cursors last moved.
        const int64_t nowUs = virtualClock_->NowUs();
        const uint32_t sinceMs = static_cast<uint32_t>(nowUs / 1000) - lastMs_;
        return (nowUs / 1000 - sinceMs + static_cast<int64_t>(elapsedMs)) * 1000;
    }
    VirtualTimeService* virtualClock() const { return virtualClock_; }

    // Locked.  Moves the cursors to the clock; capture buffers first let every playback buffer
    // play up to now, so loopback audio is there to be captured.
    void AdvanceLocked() {
        const uint32_t nowMs = clock_->NowMs();
        const uint32_t elapsedMs = nowMs - lastMs_;
        lastMs_ = nowMs;
        if (!running_ || hub_->stalled || lost_) return;
        frameRemainder_ += uint64_t{elapsedMs} * format_.nSamplesPerSec;
        const uint64_t frames = frameRemainder_ / 1000;
        frameRemainder_ %= 1000;
        const uint64_t from = total_;
        const uint64_t to = total_ + frames * format_.nBlockAlign;
        if (to == from) return;
        if (capture_) {
            Produce(from, to);
        } else {
            Consume(from, to);
        }
        total_ = to;
        ring_.NotifyPassed(from, to);
    }

    DsResult GetCurrentPosition(uint32_t* first, uint32_t* second) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kGetCurrentPosition)) return fault;
        if (lost_) return kDsErrBufferLost;
        if (capture_) hub_->AdvanceAllLocked(/*playbackOnly=*/true);
        AdvanceLocked();
        const uint32_t size = ring_.size();
        const uint32_t behind = static_cast<uint32_t>(total_ % size);
        const bool moving = running_ && !hub_->reportStopped;
        const uint32_t ahead = moving ? static_cast<uint32_t>((total_ + lead_) % size) : behind;
        // Capture reports (capture, read): the device fills ahead of the read cursor.
        // Playback reports (play, write): the device owns play .. write.
        if (capture_) {
            if (first != nullptr) *first = ahead;
            if (second != nullptr) *second = behind;
        } else {
            if (first != nullptr) *first = behind;
            if (second != nullptr) *second = ahead;
        }
        return kDsOk;
    }

    DsResult Lock(uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
                  uint32_t* n2, uint32_t flags) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kLock)) return fault;
        if (lost_) return kDsErrBufferLost;
        AdvanceLocked();
        const uint32_t write = static_cast<uint32_t>((total_ + (running_ ? lead_ : 0)) % ring_.size());
        return ring_.Lock(offset, bytes, write, p1, n1, p2, n2, flags);
    }

    DsResult Unlock(void* p1, uint32_t n1, void* p2, uint32_t n2) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kUnlock)) return fault;
        return ring_.Unlock(p1, n1, p2, n2, /*writeBack=*/!capture_);
    }

    DsResult SetNotificationPositions(uint32_t count, const PositionNotify* positions) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kSetNotificationPositions)) return fault;
        if (running_) return kDsErrInvalidCall;
        const DsResult result = ring_.SetNotifications(count, positions);
        // Waiters on a real clock need the events set without anybody polling the cursors.
        if (result == kDsOk && count != 0 && !IsVirtualClock(clock_)) hub_->StartPumpLocked();
        return result;
    }

    DsResult GetCaps(BufferCaps* caps) {
        if (caps == nullptr) return kDsErrInvalidParam;
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        caps->bufferBytes = ring_.size();
        caps->flags = primary_ ? kBufferPrimary : 0;
        return kDsOk;
    }

    DsResult GetFormat(WAVEFORMATEX* format) {
        if (format == nullptr) return kDsErrInvalidParam;
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        *format = format_;
        return kDsOk;
    }

    DsResult Run(Operation op) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(op)) return fault;
        if (lost_) return kDsErrBufferLost;
        AdvanceLocked();
        running_ = true;
        return kDsOk;
    }

    DsResult Stop() {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kStop)) return fault;
        if (capture_) hub_->AdvanceAllLocked(/*playbackOnly=*/true);
        AdvanceLocked();
        if (running_) {
            running_ = false;
            ring_.NotifyStopped();
        }
        return kDsOk;
    }

    DsResult Restore() {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kRestore)) return fault;
        if (lost_) {
            // The memory comes back, its contents do not.
            lost_ = false;
            ring_.FillAt(0, SilenceByte(format_), ring_.size());
            lastMs_ = clock_->NowMs();
        }
        return kDsOk;
    }

    DsResult SetFormat(const WAVEFORMATEX& format) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        if (DsResult fault = hub_->TakeFault(Operation::kSetFormat)) return fault;
        if (!primary_) return kDsErrInvalidCall;
        if (!IsPlayableFormat(format)) return kDsErrBadFormat;
        if (running_) return kDsErrInvalidCall;
        const uint32_t bytes = std::max<uint32_t>(format.nAvgBytesPerSec / 1000 * kPrimaryBufferMs,
                                                  format.nBlockAlign);
        if (!ring_.Allocate(bytes - bytes % format.nBlockAlign, SilenceByte(format))) {
            return kDsErrOutOfMemory;
        }
        format_ = format;
        total_ = 0;
        lead_ = LeadBytes();
        return kDsOk;
    }

    void SetEchoReference(std::shared_ptr<CaptureEffects> effects) {
        VirtualAudioService::Hub::OperationLock lock(*hub_);
        echoReference = std::move(effects);
    }

    void LoseLocked() {
        if (capture_) return;
        lost_ = true;
        running_ = false;
    }

    std::shared_ptr<CaptureEffects> effects;        // capture buffers made with effects
    bool monitor = false;                           // captures the monitor input
    std::shared_ptr<CaptureEffects> echoReference;  // playback buffers of a full-duplex pair

private:
    uint32_t LeadBytes() const {
        const uint32_t align = std::max<uint32_t>(format_.nBlockAlign, 1);
        uint32_t lead = format_.nSamplesPerSec / 1000 * VirtualAudioService::kCursorLeadMs * align;
        lead = std::max(lead, align);
        // The device never owns the whole buffer.
        if (lead >= ring_.size()) lead = ring_.size() > align ? ring_.size() - align : 0;
        return lead;
    }

    // When the stream byte `at` of the bytes [at, to) just moved was captured or played: the
    // bytes span the time up to now.
    int64_t StreamTimeUs(uint64_t at, uint64_t to) const {
        return int64_t{lastMs_} * 1000 - static_cast<int64_t>((to - at) * 1000000 / format_.nAvgBytesPerSec);
    }

    // Captures the stream bytes [from, to) into the ring.  Only the last lap survives in the
    // ring, but the loopback is drained for all of it, as a device drops what nobody read.
    void Produce(uint64_t from, uint64_t to) {
        const uint64_t size = ring_.size();
        auto& hub = *hub_;
        const VirtualAudioService::ScriptedInput& script = monitor ? hub.monitorScript : hub.script;
        const bool roomed = !monitor && hub.loopback && hub.RoomHears(format_);
        const bool looped = !monitor && hub.loopback && (!hub.script || roomed) && SameFormat(hub.loopFormat, format_);
        if (roomed && !SameFormat(hub.roomFormat, format_)) {
            hub.roomPath.Configure(*hub.room, format_.nSamplesPerSec, format_.nChannels);
            hub.roomFormat = format_;
        }
        if (to - from > size) {
            const uint64_t skipped = to - size - from;
            if (looped) hub.loop.erase(hub.loop.begin(), hub.loop.begin() + std::min<uint64_t>(skipped, hub.loop.size()));
            from = to - size;
        }
        while (from < to) {
            const uint32_t at = static_cast<uint32_t>(from % size);
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(to - from, size - at));
            uint8_t* target = ring_.data() + at;
            if (roomed) {
                // The near-end talker, then the room's echo and noise on top.
                if (script) {
                    script(from, target, chunk);
                } else {
                    std::fill(target, target + chunk, SilenceByte(format_));
                }
                hub.roomPath.Capture(looped ? &hub.loop : &hub.nothingPlayed, target, chunk / format_.nBlockAlign);
            } else if (script) {
                script(from, target, chunk);
            } else {
                uint32_t copied = 0;
                if (looped) {
                    copied = static_cast<uint32_t>(std::min<uint64_t>(chunk, hub.loop.size()));
                    std::copy(hub.loop.begin(), hub.loop.begin() + copied, target);
                    hub.loop.erase(hub.loop.begin(), hub.loop.begin() + copied);
                }
                std::fill(target + copied, target + chunk, SilenceByte(format_));
            }
            if (effects) effects->Process(target, chunk, StreamTimeUs(from, to));
            from += chunk;
        }
    }

    // Plays the stream bytes [from, to): the ring repeats while nobody writes.
    void Consume(uint64_t from, uint64_t to) {
        auto& hub = *hub_;
        const uint32_t size = ring_.size();
        if (hub.loopback) {
            if (!SameFormat(hub.loopFormat, format_)) {
                // The echo path's delay: silence the capture side hears first.
                hub.loop.assign(hub.LoopDelayFrames(format_) * format_.nBlockAlign, SilenceByte(format_));
                hub.loopFormat = format_;
            }
        }
        const uint64_t loopMax = uint64_t{format_.nAvgBytesPerSec} * kLoopbackMaxMs / 1000;
        while (from < to) {
            const uint32_t at = static_cast<uint32_t>(from % size);
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(to - from, size - at));
            const uint8_t* played = ring_.data() + at;
            if (hub.tap) hub.tap(played, chunk);
            if (echoReference) echoReference->Render(format_, played, chunk, StreamTimeUs(from, to));
            if (hub.loopback) {
                hub.loop.insert(hub.loop.end(), played, played + chunk);
                if (hub.loop.size() > loopMax) {
                    hub.loop.erase(hub.loop.begin(), hub.loop.begin() + (hub.loop.size() - loopMax));
                }
            }
            from += chunk;
        }
    }

    std::shared_ptr<VirtualAudioService::Hub> hub_;
    ITimeService* clock_;
    VirtualTimeService* virtualClock_;  // null on the real clock
    const bool capture_;
    const bool primary_;
    BufferRing ring_;
    WAVEFORMATEX format_{};
    bool running_ = false;
    bool lost_ = false;
    uint64_t total_ = 0;  // stream bytes the device has captured or played
    uint32_t lastMs_ = 0;
    uint64_t frameRemainder_ = 0;  // frames × 1000 not yet a whole frame
    uint32_t lead_ = 0;
};

void VirtualAudioService::Hub::AdvanceAllLocked(bool playbackOnly) {
    for (VirtualStream* stream : streams) {
        if (!playbackOnly || !stream->capture()) stream->AdvanceLocked();
    }
}

void VirtualAudioService::Hub::RescheduleLocked() {
    // At most a few clocks; a fixed table keeps this free of allocation (it runs in every
    // buffer operation, GetData's included).
    constexpr int kClocks = 4;
    VirtualTimeService* clocks[kClocks] = {};
    int64_t due[kClocks];
    int used = 0;
    for (VirtualStream* stream : streams) {
        VirtualTimeService* clock = stream->virtualClock();
        if (clock == nullptr) continue;
        int i = 0;
        while (i < used && clocks[i] != clock) ++i;
        if (i == used) {
            if (used == kClocks) continue;
            clocks[used] = clock;
            due[used++] = VirtualTimeService::kNeverUs;
        }
        due[i] = std::min(due[i], stream->NextNotificationUsLocked());
    }
    for (int i = 0; i < used; ++i) {
        const auto known = wakeSources.find(clocks[i]);
        if (known != wakeSources.end() && clocks[i]->ScheduleWake(known->second, due[i])) continue;
        if (due[i] == VirtualTimeService::kNeverUs) continue;
        // The clock runs this when the moment comes: bring the buffers up to it (which sets
        // the events) and schedule the next one.  It outlives neither the hub nor the clock
        // in use: a gone hub unregisters itself by returning false.
        const int64_t source = clocks[i]->AddWakeSource([weak = self] {
            const std::shared_ptr<Hub> hub = weak.lock();
            if (!hub) return false;
            OperationLock lock(*hub);
            hub->AdvanceAllLocked(/*playbackOnly=*/true);
            hub->AdvanceAllLocked(/*playbackOnly=*/false);
            return true;
        });
        wakeSources[clocks[i]] = source;
        clocks[i]->ScheduleWake(source, due[i]);
    }
}

void VirtualAudioService::Hub::StartPumpLocked() {
    if (pump.joinable()) return;
    pump = std::thread([this] {
        while (!pumpStop) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                AdvanceAllLocked(/*playbackOnly=*/true);
                AdvanceAllLocked(/*playbackOnly=*/false);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

namespace {

using Operation = VirtualAudioService::Operation;

class VirtualCaptureBuffer final : public StreamBuffer<ICaptureBuffer, VirtualStream> {
public:
    explicit VirtualCaptureBuffer(std::shared_ptr<VirtualAudioService::Hub> hub)
        : StreamBuffer(std::move(hub), /*capture=*/true, /*primary=*/false) {}

    DsResult Start(uint32_t) override { return stream_.Run(Operation::kStart); }
    DsResult GetObjectInPath(CaptureEffect kind, std::unique_ptr<ICaptureEffect>* effect) override {
        return EffectInPath(stream_, kind, effect);
    }
    std::shared_ptr<CaptureEffects> Effects() override { return stream_.effects; }
};

class VirtualPlaybackBuffer final : public StreamBuffer<IPlaybackBuffer, VirtualStream> {
public:
    VirtualPlaybackBuffer(std::shared_ptr<VirtualAudioService::Hub> hub, bool primary)
        : StreamBuffer(std::move(hub), /*capture=*/false, primary) {}

    DsResult Play(uint32_t) override { return stream_.Run(Operation::kPlay); }
    DsResult Restore() override { return stream_.Restore(); }
    DsResult SetFormat(const WAVEFORMATEX& format) override { return stream_.SetFormat(format); }
    void SetEchoReference(std::shared_ptr<CaptureEffects> effects) override { stream_.SetEchoReference(std::move(effects)); }
};

class VirtualCaptureDevice final : public ICaptureDevice {
public:
    VirtualCaptureDevice(std::shared_ptr<VirtualAudioService::Hub> hub, bool monitor)
        : hub_(std::move(hub)), monitor_(monitor) {}

    DsResult GetCaps(DeviceCaps* caps) override {
        if (caps == nullptr) return kDsErrInvalidParam;
        *caps = DeviceCaps{0, 1, 384000, 8};
        return kDsOk;
    }
    DsResult CreateCaptureBuffer(const CaptureBufferDesc& desc, std::unique_ptr<ICaptureBuffer>* buffer) override {
        if (buffer == nullptr) return kDsErrInvalidParam;
        if (DsResult fault = hub_->Fault(Operation::kCreateBuffer)) return fault;
        if (!IsPlayableFormat(desc.format)) return kDsErrBadFormat;
        if (desc.bufferBytes < kMinBufferBytes || desc.bufferBytes > kMaxBufferBytes) return kDsErrInvalidParam;
        std::shared_ptr<CaptureEffects> effects;
        if ((desc.flags & kCaptureBufferCtrlFx) && (desc.echoCancellation || desc.noiseSuppression)) {
            effects = CaptureEffects::Create(desc.format, desc.echoCancellation, desc.noiseSuppression);
            if (!effects) return kDsErrFxUnavailable;
        }
        auto created = std::make_unique<VirtualCaptureBuffer>(hub_);
        // The effects are in place before the stream joins the hub and starts to move.
        created->stream().effects = std::move(effects);
        created->stream().monitor = monitor_;
        if (DsResult result = created->stream().Init(desc.bufferBytes, desc.format)) return result;
        *buffer = std::move(created);
        return kDsOk;
    }

private:
    std::shared_ptr<VirtualAudioService::Hub> hub_;
    const bool monitor_;
};

class VirtualPlaybackDevice final : public IPlaybackDevice {
public:
    explicit VirtualPlaybackDevice(std::shared_ptr<VirtualAudioService::Hub> hub) : hub_(std::move(hub)) {}

    DsResult SetCooperativeLevel(OwnerHandle owner, uint32_t level) override {
        if (DsResult fault = hub_->Fault(Operation::kSetCooperativeLevel)) return fault;
        if (owner == 0 || level < kCooperativeNormal || level > kCooperativeWritePrimary) {
            return kDsErrInvalidParam;
        }
        level_ = level;
        return kDsOk;
    }
    DsResult GetCaps(DeviceCaps* caps) override {
        if (caps == nullptr) return kDsErrInvalidParam;
        std::lock_guard<std::mutex> lock(hub_->mutex);
        *caps = DeviceCaps{hub_->playbackCapsFlags, 1, 384000, 8};
        return kDsOk;
    }
    DsResult CreateSoundBuffer(const PlaybackBufferDesc& desc, std::unique_ptr<IPlaybackBuffer>* buffer) override {
        if (buffer == nullptr) return kDsErrInvalidParam;
        if (DsResult fault = hub_->Fault(Operation::kCreateBuffer)) return fault;
        if (level_ == 0) return kDsErrInvalidCall;
        const bool primary = (desc.flags & kBufferPrimary) != 0;
        WAVEFORMATEX format = desc.format;
        uint32_t bytes = desc.bufferBytes;
        if (primary) {
            // A primary buffer takes no size or format; it mixes 22.05 kHz 8-bit stereo until
            // SetFormat says otherwise.
            if (desc.bufferBytes != 0 || desc.hasFormat) return kDsErrInvalidParam;
            format = WAVEFORMATEX{1, 2, 22050, 44100, 2, 8, 0};
            bytes = format.nAvgBytesPerSec / 1000 * kPrimaryBufferMs;
        } else {
            if (!desc.hasFormat || !IsPlayableFormat(format)) return kDsErrBadFormat;
            if (bytes < kMinBufferBytes || bytes > kMaxBufferBytes) return kDsErrInvalidParam;
        }
        auto created = std::make_unique<VirtualPlaybackBuffer>(hub_, primary);
        if (DsResult result = created->stream().Init(bytes, format)) return result;
        *buffer = std::move(created);
        return kDsOk;
    }

private:
    std::shared_ptr<VirtualAudioService::Hub> hub_;
    uint32_t level_ = 0;
};

}  // namespace

VirtualAudioService::VirtualAudioService() : hub_(std::make_shared<Hub>()) { hub_->self = hub_; }
VirtualAudioService::~VirtualAudioService() = default;

DeviceGuid VirtualAudioService::CaptureGuid() { return kCaptureGuid; }
DeviceGuid VirtualAudioService::PlaybackGuid() { return kPlaybackGuid; }
DeviceGuid VirtualAudioService::MonitorGuid() { return kMonitorGuid; }
const char* VirtualAudioService::CaptureDescription() { return "Zelmar virtual capture (loopback)"; }
const char* VirtualAudioService::PlaybackDescription() { return "Zelmar virtual playback"; }

void VirtualAudioService::SetScriptedInput(ScriptedInput input) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->script = std::move(input);
}
void VirtualAudioService::SetMonitorInput(ScriptedInput input) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->monitorScript = std::move(input);
}
void VirtualAudioService::SetPlaybackTap(PlaybackTap tap) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->tap = std::move(tap);
}
void VirtualAudioService::SetLoopback(bool enabled) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->loopback = enabled;
    if (!enabled) hub_->loop.clear();
}
void VirtualAudioService::SetLoopbackDelayMs(uint32_t delayMs) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->loopDelayMs = std::min(delayMs, kLoopbackMaxMs / 2);
    hub_->room.reset();
    hub_->loop.clear();
    hub_->loopFormat = WAVEFORMATEX{};  // the next audio played starts the delayed loop afresh
}
void VirtualAudioService::SetLoopbackRoom(const std::optional<LoopbackRoom>& room) {
    Hub::OperationLock lock(*hub_);
    // Everything up to now went through the old path.
    hub_->AdvanceAllLocked(true);
    hub_->AdvanceAllLocked(false);
    const bool running = hub_->room && room && hub_->loopFormat.nBlockAlign != 0;
    const uint64_t before = running ? hub_->LoopDelayFrames(hub_->loopFormat) : 0;
    hub_->room = room;
    hub_->loopDelayMs = room ? std::min(room->delayMs, kLoopbackMaxMs / 2) : 0;
    hub_->roomFormat = WAVEFORMATEX{};  // the path is made anew at the next capture
    if (!running) {
        hub_->loop.clear();
        hub_->loopFormat = WAVEFORMATEX{};
        return;
    }
    const uint32_t align = hub_->loopFormat.nBlockAlign;
    const uint64_t after = hub_->LoopDelayFrames(hub_->loopFormat);
    auto& loop = hub_->loop;
    if (after > before) {
        loop.insert(loop.begin(), (after - before) * align, SilenceByte(hub_->loopFormat));
    } else {
        loop.erase(loop.begin(), loop.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>((before - after) * align, loop.size())));
    }
}
void VirtualAudioService::SetCursorsStalled(bool stalled) {
    Hub::OperationLock lock(*hub_);
    // Bring everything up to now first, so the stall starts at this moment.
    hub_->AdvanceAllLocked(true);
    hub_->AdvanceAllLocked(false);
    hub_->stalled = stalled;
}
void VirtualAudioService::SetCursorsReportStopped(bool stopped) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->reportStopped = stopped;
}
void VirtualAudioService::LoseBuffers() {
    Hub::OperationLock lock(*hub_);
    for (VirtualStream* stream : hub_->streams) stream->LoseLocked();
}
void VirtualAudioService::FailNext(Operation operation, DsResult result, int times) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    const int i = static_cast<int>(operation);
    hub_->failTimes[i] = times;
    hub_->failResult[i] = result;
}
void VirtualAudioService::SetPlaybackCapsFlags(uint32_t flags) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->playbackCapsFlags = flags;
}
void VirtualAudioService::SetWaveNames(std::vector<std::string> captureNames, std::vector<std::string> playbackNames) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->waveNames.emplace(std::move(captureNames), std::move(playbackNames));
}
std::unique_ptr<IWaveDevices> VirtualAudioService::OpenWaveDevices() {
    {
        std::lock_guard<std::mutex> lock(hub_->mutex);
        if (hub_->waveNames) return MakeWaveDevices(hub_->waveNames->first, hub_->waveNames->second);
    }
    return IAudioService::OpenWaveDevices();
}
uint32_t VirtualAudioService::LastBufferBytes() const {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    return hub_->lastBufferBytes;
}

void VirtualAudioService::Pump() {
    Hub::OperationLock lock(*hub_);
    hub_->AdvanceAllLocked(true);
    hub_->AdvanceAllLocked(false);
}

DsResult VirtualAudioService::EnumerateCapture(std::vector<DeviceDescription>* devices) {
    if (devices == nullptr) return kDsErrInvalidParam;
    devices->clear();
    devices->push_back({CaptureDescription(), kCaptureGuid});
    return kDsOk;
}

DsResult VirtualAudioService::EnumeratePlayback(std::vector<DeviceDescription>* devices) {
    if (devices == nullptr) return kDsErrInvalidParam;
    devices->clear();
    devices->push_back({PlaybackDescription(), kPlaybackGuid});
    return kDsOk;
}

DsResult VirtualAudioService::CreateCapture(const DeviceGuid* id, std::unique_ptr<ICaptureDevice>* device) {
    if (device == nullptr) return kDsErrInvalidParam;
    if (DsResult fault = hub_->Fault(Operation::kCreateDevice)) return fault;
    if (id != nullptr && *id != kCaptureGuid && *id != kMonitorGuid) return kDsErrNoDriver;
    *device = std::make_unique<VirtualCaptureDevice>(hub_, id != nullptr && *id == kMonitorGuid);
    return kDsOk;
}

DsResult VirtualAudioService::CreatePlayback(const DeviceGuid* id, std::unique_ptr<IPlaybackDevice>* device) {
    if (device == nullptr) return kDsErrInvalidParam;
    if (DsResult fault = hub_->Fault(Operation::kCreateDevice)) return fault;
    if (id != nullptr && *id != kPlaybackGuid) return kDsErrNoDriver;
    *device = std::make_unique<VirtualPlaybackDevice>(hub_);
    return kDsOk;
}

DsResult VirtualAudioService::MonitorOf(const DeviceGuid* playbackId, DeviceGuid* monitorId) {
    if (monitorId == nullptr) return kDsErrInvalidParam;
    if (playbackId != nullptr && *playbackId != kPlaybackGuid) return kDsErrNoDriver;
    *monitorId = kMonitorGuid;
    return kDsOk;
}

DsResult VirtualAudioService::CreateFullDuplex(const DeviceGuid* captureId, const DeviceGuid* playbackId,
                                               const CaptureBufferDesc& captureDesc,
                                               const PlaybackBufferDesc& playbackDesc, OwnerHandle owner,
                                               uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                                               std::unique_ptr<ICaptureBuffer>* captureBuffer,
                                               std::unique_ptr<IPlaybackBuffer>* playbackBuffer) {
    return CreateFullDuplexFromDevices(*this, captureId, playbackId, captureDesc, playbackDesc, owner,
                                       level, duplex, captureBuffer, playbackBuffer);
}

}  // namespace zelmar::platform::audio
