#include "devices/DSoundAudioIn2.h"

#include <algorithm>
#include <cstring>

#include "devices/DeviceErrorText.h"
#include "framework/DebugOutput.h"

namespace zelmar {

using namespace platform::audio;

namespace {

// Cursor queries are at least this far apart: a caller that comes sooner waits a millisecond.
constexpr uint32_t kPollSpacingMs = 6;
// A poll that finds the cursors standing still sleeps this long before it looks again.
constexpr uint32_t kStillSleepMs = 5;
// The first block after Start may take the device this long to announce.
constexpr uint32_t kFirstNotificationMs = 30000;
// Later waits for a block are this long each; a reader gives up after kStallMs of them.
constexpr uint32_t kNotificationWaitMs = 3000;
// Stop gives a reader it woke this long to leave before the buffer stops.
constexpr uint32_t kStopGraceMs = 100;

// Running is 3 here, so the table's "not while Running" rule looks for 3; in Stopping (2),
// settings are taken as in Built.
constexpr PropertyRules kRules = [] {
    PropertyRules rules = kDeviceRules;
    rules.runningState = CDSoundAudioIn2::kStateCapturing;
    return rules;
}();

}  // namespace

const PropertyTable<CDSoundAudioIn2>& CDSoundAudioIn2::Properties() {
    using C = CDSoundAudioIn2;
    static constexpr PropertyRow<C> kOwnRows[] = {
        // Effect switches are taken in every state; a running capture applies them at once and
        // answers what the echo canceller's switch answered.
        DeviceRow<C>(kDevEnableEffect, Settable::kAlways, Readable::kNo, Value::kHook, nullptr, &C::EnableEffect),
        DeviceRow<C>(kDevDisableEffect, Settable::kAlways, Readable::kNo, Value::kHook, nullptr, &C::DisableEffect),
        DeviceRow<C>(kDevSoftwareBuffer, Settable::kUnlessRunning, Readable::kNo, Value::kHook, nullptr,
                     &C::SetSoftwareBuffer),
        DeviceRow<C>(kDevTotalIn, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.totalIn_; }),
        DeviceRow<C>(kDevDXErrorCode, Settable::kNo, Readable::kYes, Value::kInt32,
                     [](C& c) -> void* { return &c.dxErrorCode_; }),
        DeviceRow<C>(kDevDXErrorString, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr,
                     &C::GetErrorString),
        DeviceRow<C>(kDevCapturePos, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.capturePos_; }),
        DeviceRow<C>(kDevBufferPos, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.bufferPos_; }),
    };
    static constexpr auto kRows = InDeviceTableOrder(JoinRows(EndpointRows<C>(), kOwnRows));
    static constexpr PropertyTable<C> kTable{kRows, kDevUnknown, kRules};
    return kTable;
}

CDSoundAudioIn2::CDSoundAudioIn2() { EnumerateDevices(); }

CDSoundAudioIn2::~CDSoundAudioIn2() = default;

int32_t CDSoundAudioIn2::EnumerateDevices() {
    ReleaseAll();
    ListDevices(DeviceOrder::kWave);
    return kOk;
}

int32_t CDSoundAudioIn2::SetProperty(const char* name, int32_t value, void* data) {
    return Properties().Set(*this, state_, name, value, data);
}

int32_t CDSoundAudioIn2::GetProperty(const char* name, int32_t arg, void* out) {
    return Properties().Get(*this, name, arg, out);
}

int32_t CDSoundAudioIn2::GetErrorString(int32_t bytes, void* out) { return CopyDeviceErrorText(dxErrorCode_, bytes, out); }

int32_t CDSoundAudioIn2::SwitchEffect(int32_t effect, int32_t on) {
    if (static_cast<uint32_t>(effect) > 1) return kErrInvalidArg;
    effectSwitches_[effect] = on;
    return Capturing() ? ApplyEffects() : kOk;
}

void CDSoundAudioIn2::ReleaseAll() {
    ReleaseDevice();
    records_ = {};
}

int32_t CDSoundAudioIn2::Build() {
    return LenientBuild([this] { ReleaseAll(); }, [this] { return OpenDevice(); });
}

int32_t CDSoundAudioIn2::OpenDevice() {
    const WAVEFORMATEX wfx = settings_.Format();
    const uint64_t blockBytes = uint64_t{settings_.blockSamples} * wfx.nBlockAlign;
    if (blockBytes == 0 || blockBytes > INT32_MAX) return kErrInvalidArg;
    // Blocks are paced in whole milliseconds: a block shorter than one has no period, and an
    // input buffer time of 0 no look-back; neither is opened.
    const uint32_t blockMs = BlockSleepMs(settings_.blockSamples, settings_.samplesPerSec);
    if (blockMs == 0 || settings_.bufferTimeMs == 0) return kErrInvalidArg;
    // The input buffer time becomes a whole number of blocks, N; the setting keeps the raised value.
    uint64_t bufferTimeMs = settings_.bufferTimeMs;
    if (bufferTimeMs % blockMs != 0) bufferTimeMs += blockMs - bufferTimeMs % blockMs;
    if (bufferTimeMs > UINT32_MAX) return kErrInvalidArg;
    settings_.bufferTimeMs = static_cast<uint32_t>(bufferTimeMs);
    const auto lookBack = static_cast<uint32_t>(bufferTimeMs / blockMs);

    // Twice the input buffer time, and more of it until the buffer holds kMinBufferMs.
    uint64_t bufferMs = 2 * bufferTimeMs;
    while (bufferMs < kMinBufferMs) bufferMs += bufferTimeMs;
    uint64_t requested = bufferMs * wfx.nAvgBytesPerSec / 1000;
    // Whole blocks only, so the read cursor always lies in a block that has a record.
    requested += (blockBytes - requested % blockBytes) % blockBytes;
    if (requested == 0 || requested > INT32_MAX) return kErrInvalidArg;

    std::unique_ptr<ICaptureDevice> device;
    std::unique_ptr<ICaptureBuffer> buffer = std::move(handedOver_);
    if (buffer == nullptr) {
        effectSwitches_[0] = effectSwitches_[1] = 0;  // a buffer made here carries no effects
        DsResult result = CreateDevice(&device);
        if (Failed(result)) return Fail(result);
        CaptureBufferDesc desc;
        desc.bufferBytes = static_cast<uint32_t>(requested);
        desc.format = wfx;
        result = device->CreateCaptureBuffer(desc, &buffer);
        if (Failed(result)) return Fail(result);
    }
    BufferCaps caps;
    DsResult result = buffer->GetCaps(&caps);
    if (Failed(result)) return Fail(result);

    // M records: the buffer's milliseconds in blocks of D, but never more than the whole
    // blocks it holds (a block of 2.5 ms counts as 2 ms in D, and a record past the end of
    // the buffer would have nothing to read).
    const uint64_t actualMs = wfx.nAvgBytesPerSec == 0 ? 0 : uint64_t{caps.bufferBytes} * 1000 / wfx.nAvgBytesPerSec;
    const uint64_t recordCount = std::min<uint64_t>(actualMs / blockMs, caps.bufferBytes / blockBytes);
    if (recordCount == 0) return kErrInvalidArg;
    const auto count = static_cast<uint32_t>(recordCount);
    const auto block = static_cast<uint32_t>(blockBytes);
    std::vector<BlockRecord> records(count);
    for (uint32_t i = 0; i < count; ++i) {
        records[i].offset = i * block;
        records[i].previous = i == 0 ? count - 1 : i - 1;
        records[i].next = i + 1 == count ? 0 : i + 1;
    }

    // One auto-reset event, set at the start of every block.
    RingLayout layout;
    layout.blockCount = static_cast<int32_t>(count);
    layout.blockBytes = static_cast<int32_t>(block);
    layout.bufferBytes = caps.bufferBytes;
    BlockNotifications notifications;
    result = ArmRing(*buffer, layout, NotifyEvents::kOneShared, [block](uint32_t i) { return i * block; },
                     &notifications);
    if (Failed(result)) return Fail(result);

    records_ = std::move(records);
    geometry_ = Geometry{block, blockMs, lookBack};
    Keep(std::move(device), std::move(buffer), wfx, layout, std::move(notifications));
    return kOk;
}

int32_t CDSoundAudioIn2::Start() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateCapturing) return kOk;
    if (buffer_ != nullptr) {
        const DsResult result = buffer_->Start(kCaptureStartLooping);
        if (Failed(result)) {
            dxErrorCode_ = result;
            return kErrPlatform;
        }
    }
    totalIn_ = 0;
    // The sequence starts at N, above every stamp of a fresh ring (0), so the first read takes
    // the newest block.  With N = 1 it starts at 2: a sequence of 1 would take a fresh
    // block's stamp 0 for the block last delivered and never read.
    readSequence_ = std::max<uint32_t>(geometry_.lookBack, 2);
    state_ = kStateCapturing;
    return kOk;
}

int32_t CDSoundAudioIn2::Stop() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateBuilt) return kOk;
    // A reader waiting in GetData on another thread wakes, sees Stopping and leaves.
    state_ = kStateStopping;
    if (platform::IEvent* event = ring_.SharedEvent()) event->Set();
    time_->SleepMs(kStopGraceMs);
    if (buffer_ != nullptr) {
        const DsResult result = buffer_->Stop();
        if (Failed(result)) {
            dxErrorCode_ = result;
            return kErrPlatform;  // stays Stopping
        }
    }
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioIn2::GetData(void* buffer, int32_t bytes) {
    if (!Capturing()) return kErrState;
    const auto blockBytes = static_cast<int32_t>(geometry_.blockBytes);
    if (buffer == nullptr || bytes <= 0 || bytes < blockBytes) return kErrInvalidArg;
    auto* to = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0, blocks = bytes / blockBytes; i < blocks; ++i) {
        const int32_t read = ReadBlock(to + static_cast<std::size_t>(i) * static_cast<std::size_t>(blockBytes));
        if (read != blockBytes) {
            if (Capturing()) DebugPrintf("CDSoundAudioIn2::GetData short %x\n", static_cast<unsigned>(read));
            return kErrPlatform;  // blocks read before stay in the caller's buffer
        }
    }
    // The count of one block, also when several were delivered, as hosts of this capture read it.
    return blockBytes;
}

bool CDSoundAudioIn2::WaitNotification(uint32_t timeoutMs, bool* signalled) {
    platform::IEvent* event = ring_.SharedEvent();
    const platform::WaitResult waited = event != nullptr ? event->Wait(timeoutMs) : platform::WaitResult::kFailed;
    *signalled = waited == platform::WaitResult::kSignaled;
    if (!*signalled) {
        DebugPrintf("CDSoundAudioIn2::ReadBlock WaitNotification error=%x\n",
                    static_cast<unsigned>(waited == platform::WaitResult::kTimedOut ? kErrTimeout : kErrPlatform));
    }
    return Capturing();
}

int32_t CDSoundAudioIn2::GetCurrentPosition(uint32_t* capture, uint32_t* read) {
    uint32_t stillMs = 0;
    for (;;) {
        if (time_->NowMs() - lastPollMs_ < kPollSpacingMs) time_->SleepMs(1);
        lastPollMs_ = time_->NowMs();
        const DsResult result = buffer_->GetCurrentPosition(capture, read);
        if (Failed(result)) {
            DebugPrintf("CDSoundAudioIn2::GetCurrentPosition Error %x\n", static_cast<unsigned>(result));
            dxErrorCode_ = result;
            return kErrPlatform;
        }
        // Both cursors together, where the last poll left them: the device is not moving.
        if (*capture == *read && *read == lastReadCursor_) {
            time_->SleepMs(kStillSleepMs);
            stillMs += kStillSleepMs;
            if (stillMs < kStallMs) continue;
        }
        lastReadCursor_ = *read;
        capturePos_ = *capture;
        return stillMs >= kStallMs ? kErrStalled : kOk;
    }
}

int32_t CDSoundAudioIn2::ReadBuffer(uint32_t offset, uint8_t* to, uint32_t bytes) {
    void* part1 = nullptr;
    void* part2 = nullptr;
    uint32_t bytes1 = 0;
    uint32_t bytes2 = 0;
    const DsResult result = buffer_->Lock(offset, bytes, &part1, &bytes1, &part2, &bytes2, 0);
    if (Failed(result)) {
        DebugPrintf("CDSoundAudioIn2::ReadBuffer Error %x\n", static_cast<unsigned>(result));
        dxErrorCode_ = result;
        return kErrPlatform;
    }
    // A handed-over buffer is not trusted to lock no more than asked: the caller's block is
    // never overrun, and what a short lock leaves out is silence rather than old bytes.
    const uint64_t locked = uint64_t{bytes1} + (part2 != nullptr ? bytes2 : 0);
    if (locked > bytes) {
        buffer_->Unlock(part1, bytes1, part2, bytes2);
        return kErrPlatform;
    }
    if (bytes1 != 0) std::memcpy(to, part1, bytes1);
    if (part2 != nullptr && bytes2 != 0) std::memcpy(to + bytes1, part2, bytes2);
    if (locked < bytes) std::memset(to + locked, format_.wBitsPerSample == 8 ? 0x80 : 0, bytes - locked);
    buffer_->Unlock(part1, bytes1, part2, bytes2);
    bufferPos_ = offset;
    return kOk;
}

int32_t CDSoundAudioIn2::ReadBlock(uint8_t* to) {
    if (buffer_ == nullptr || records_.empty()) return kErrPlatform;
    bool signalled = false;
    if (totalIn_ == 0) {
        platform::IEvent* event = ring_.SharedEvent();
        if (event != nullptr) event->Reset();
        // A Stop that came before the reset has set the event already: it must not be missed.
        if (!Capturing() || !WaitNotification(kFirstNotificationMs, &signalled)) return kErrState;
    }

    const uint32_t blockBytes = geometry_.blockBytes;
    const auto count = static_cast<uint32_t>(records_.size());
    uint32_t waitedMs = 0;
    uint32_t newest = 0;
    for (;;) {
        uint32_t capture = 0;
        uint32_t read = 0;
        const int32_t polled = GetCurrentPosition(&capture, &read);
        if (polled != kOk) {
            DebugPrintf("CDSoundAudioIn2::ReadBlock GetCurrentPosition Error %x\n", static_cast<unsigned>(polled));
            return polled;
        }
        // The device fills the block of the read cursor; the one before it is the newest complete.
        const uint32_t filling = read / blockBytes;
        if (filling >= count) {
            DebugPrintf("CDSoundAudioIn2::ReadBlock GetFirstReadableBlock\n");
            return kErrPlatform;
        }
        newest = records_[filling].previous;
        if (readSequence_ - records_[newest].stamp != 1) break;  // not yet delivered
        // Nothing new: wait for the next block's notification.
        const bool running = WaitNotification(kNotificationWaitMs, &signalled);
        if (!signalled) waitedMs += kNotificationWaitMs;
        if (!running) return kErrState;
        waitedMs += 1;
        if (waitedMs >= kStallMs) {
            DebugPrintf("CDSoundAudioIn2::ReadBlock error %x, %d\n", static_cast<unsigned>(kErrTimeout),
                        static_cast<int>(waitedMs));
            return kErrTimeout;
        }
    }

    // The block after the one last delivered, found within N records of the newest; a reader
    // further behind than that skips to the newest.
    uint32_t chosen = newest;
    for (uint32_t step = 0, at = newest; step < geometry_.lookBack; ++step) {
        const uint32_t before = records_[at].previous;
        if (records_[before].stamp == readSequence_ - 1) {
            chosen = at;
            break;
        }
        at = before;
    }
    records_[chosen].stamp = readSequence_++;

    const int32_t copied = ReadBuffer(records_[chosen].offset, to, blockBytes);
    if (copied != kOk) {
        DebugPrintf("CDSoundAudioIn2::ReadBlock error2 %x\n", static_cast<unsigned>(copied));
        return copied;
    }
    if (totalIn_ > kRestartAfterBytes) {
        // Before the counter could wrap: stop, rebuild and start afresh ("TotalIn" from 0).
        ++resetCount_;
        DebugPrintf("Zelmar, CDSoundAudioIn2, Reset, count=%u, size=%u \n", resetCount_, totalIn_);
        Stop();
        Build();
        Start();
    }
    totalIn_ += blockBytes;
    return static_cast<int32_t>(blockBytes);
}

int32_t CDSoundAudioIn2::ApplyEffects() {
    if (buffer_ == nullptr) return kDsErrInvalidCall;
    // Noise suppression: brought in line with switch 1; its results are not reported.
    std::unique_ptr<ICaptureEffect> effect;
    bool enabled = false;
    if (!Failed(buffer_->GetObjectInPath(CaptureEffect::kNoiseSuppression, &effect)) &&
        !Failed(effect->GetEnable(&enabled))) {
        const bool wanted = effectSwitches_[kEffectNoiseSuppression] != 0;
        if (enabled != wanted && !Failed(effect->SetEnable(wanted))) effectSwitches_[kEffectNoiseSuppression] = wanted;
    }
    // Echo cancellation: switch 0; the result is that of its last call.
    effect.reset();
    DsResult result = buffer_->GetObjectInPath(CaptureEffect::kEchoCancellation, &effect);
    if (Failed(result)) return result;
    result = effect->GetEnable(&enabled);
    if (Failed(result)) return result;
    const bool wanted = effectSwitches_[kEffectEchoCancellation] != 0;
    if (enabled != wanted) {
        result = effect->SetEnable(wanted);
        if (!Failed(result)) effectSwitches_[kEffectEchoCancellation] = wanted;
    }
    return result;
}

}  // namespace zelmar
