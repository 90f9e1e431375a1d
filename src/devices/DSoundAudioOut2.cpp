#include "devices/DSoundAudioOut2.h"

#include <algorithm>
#include <cstring>

#include "devices/DeviceErrorText.h"
#include "framework/DebugOutput.h"

namespace zelmar {

using namespace platform::audio;

const PropertyTable<CDSoundAudioOut2>& CDSoundAudioOut2::Properties() {
    using C = CDSoundAudioOut2;
    constexpr Settable kSetting = Settable::kUnlessRunning;
    static constexpr PropertyRow<C> kOwnRows[] = {
        DeviceRow<C>(kDevhWnd, kSetting, Readable::kNo, Value::kInt32, [](C& c) -> void* { return &c.hostWindow_; }),
        DeviceRow<C>(kDevTotalOut, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.run_.totalOut; }),
        DeviceRow<C>(kDevSoftwareBuffer, kSetting, Readable::kNo, Value::kHook, nullptr, &C::SetSoftwareBuffer),
        DeviceRow<C>(kDevPrimaryBuffer, kSetting, Readable::kNo, Value::kHook, nullptr, &C::SetPrimaryBuffer),
        // Taken in every state: a host asks for the copy once the device is open.
        DeviceRow<C>(kDevRefBuffer, Settable::kAlways, Readable::kYes, Value::kHook, nullptr, &C::SetRefBuffer,
                     &C::GetRefBuffer),
        DeviceRow<C>(kDevRefBufferLen, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.refBufferLen_; }),
        DeviceRow<C>(kDevPlayPos, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr, &C::GetPlayPos),
        DeviceRow<C>(kDevDXErrorCode, Settable::kNo, Readable::kYes, Value::kInt32,
                     [](C& c) -> void* { return &c.dxErrorCode_; }),
        DeviceRow<C>(kDevDXErrorString, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr,
                     &C::GetErrorString),
        DeviceRow<C>(kDevDXErrorCodeSub, Settable::kNo, Readable::kYes, Value::kInt32,
                     [](C& c) -> void* { return &c.dxErrorStep_; }),
        DeviceRow<C>(kDevDriverEmulation, Settable::kNo, Readable::kYes, Value::kInt32,
                     [](C& c) -> void* { return &c.driverEmulation_; }),
        DeviceRow<C>(kDevInternalLimitSize, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr,
                     &C::GetInternalLimitSize),
    };
    static constexpr auto kRows = InDeviceTableOrder(JoinRows(EndpointRows<C>(), kOwnRows));
    static constexpr PropertyTable<C> kTable{kRows, kDevUnknown, kDeviceRules};
    return kTable;
}

// Devices are numbered in waveOut order, as the multimedia calls number them.
CDSoundAudioOut2::CDSoundAudioOut2() { ListDevices(DeviceOrder::kWave); }

// The device goes before the owner of its cooperative level.
CDSoundAudioOut2::~CDSoundAudioOut2() { ReleaseDevice(); }

void CDSoundAudioOut2::ReleaseDevice() {
    buffer_.reset();
    primary_.reset();
    CDeviceEndpoint::ReleaseDevice();
    stamps_ = std::vector<uint32_t>();
    reference_.reset();
}

int32_t CDSoundAudioOut2::SetProperty(const char* name, int32_t value, void* data) {
    return Properties().Set(*this, state_, name, value, data);
}

int32_t CDSoundAudioOut2::GetProperty(const char* name, int32_t arg, void* out) {
    return Properties().Get(*this, name, arg, out);
}

int32_t CDSoundAudioOut2::SetSoftwareBuffer(int32_t value, void*) {
    softwareBuffer_ = value != 0 ? 1 : 0;
    return kOk;
}

int32_t CDSoundAudioOut2::SetPrimaryBuffer(int32_t value, void*) {
    primaryBuffer_ = value != 0 ? 1 : 0;
    return kOk;
}

// The flag decides whether the next Build makes a copy; on an opened device the copy is made
// now (zeroed) if there is none, and its address goes to `data`.
int32_t CDSoundAudioOut2::SetRefBuffer(int32_t value, void* data) {
    referenceCopy_ = value == 1 ? 1 : 0;
    if (state_ == kStateCreated) return kOk;
    if (reference_ == nullptr && refBufferLen_ != 0) reference_.reset(new uint8_t[refBufferLen_]());
    if (data != nullptr) {
        void* address = reference_.get();
        std::memcpy(data, &address, sizeof address);
    }
    return kOk;
}

// A whole pointer: the host reads it into an intptr_t.
int32_t CDSoundAudioOut2::GetRefBuffer(int32_t, void* out) {
    const auto address = reinterpret_cast<intptr_t>(reference_.get());
    std::memcpy(out, &address, sizeof address);
    return kOk;
}

int32_t CDSoundAudioOut2::GetPlayPos(int32_t, void* out) {
    if (buffer_ == nullptr) return kErrPlatform;
    uint32_t play = 0;
    if (Failed(buffer_->GetCurrentPosition(&play, nullptr))) {
        buffer_->Restore();
        if (Failed(buffer_->GetCurrentPosition(&play, nullptr))) return kErrPlatform;
    }
    WriteUint32(out, play);
    return kOk;
}

int32_t CDSoundAudioOut2::GetErrorString(int32_t size, void* out) { return CopyDeviceErrorText(dxErrorCode_, size, out); }

int32_t CDSoundAudioOut2::GetInternalLimitSize(int32_t, void* out) {
    const uint64_t rate = settings_.samplesPerSec;
    const uint64_t ms = rate == 0 ? 0 : uint64_t{geometry_.lookAhead} * settings_.blockSamples * 1000u / rate;
    WriteUint32(out, static_cast<uint32_t>(ms));
    return kOk;
}

int32_t CDSoundAudioOut2::Fail(DsResult result, int32_t step) {
    dxErrorCode_ = result;
    dxErrorStep_ = step;
    return result;
}

int32_t CDSoundAudioOut2::Build() {
    return LenientBuild([this] { ReleaseDevice(); }, [this] { return OpenDevice(); });
}

// Block geometry: B bytes of D whole milliseconds; blocks shorter than a millisecond, and
// rings beyond what a device buffer can be, are refused.  The buffer is a whole number of
// blocks (its bytes rounded up), so every cursor position lies in a block record.
int32_t CDSoundAudioOut2::OpenDevice() {
    const WAVEFORMATEX wfx = settings_.Format();
    const uint64_t blockBytes = uint64_t{settings_.blockSamples} * wfx.nBlockAlign;
    if (blockBytes == 0 || blockBytes > INT32_MAX || wfx.nSamplesPerSec == 0) return kErrInvalidArg;
    const uint64_t blockMs = uint64_t{settings_.blockSamples} * 1000u / wfx.nSamplesPerSec;
    if (blockMs == 0 || blockMs > UINT32_MAX) return kErrInvalidArg;
    // The buffer time, raised to whole blocks (at least one): the raised value is the setting.
    uint64_t bufferTimeMs = std::max<uint64_t>(settings_.bufferTimeMs, blockMs);
    bufferTimeMs += (blockMs - bufferTimeMs % blockMs) % blockMs;
    if (bufferTimeMs > UINT32_MAX) return kErrInvalidArg;
    settings_.bufferTimeMs = static_cast<uint32_t>(bufferTimeMs);

    std::unique_ptr<IPlaybackDevice> device;
    std::unique_ptr<IPlaybackBuffer> primary;
    std::unique_ptr<IPlaybackBuffer> play = std::move(handedOver_);
    std::unique_ptr<uint8_t[]> reference;
    uint32_t requested = 0;
    driverEmulation_ = 0;
    if (play == nullptr) {
        const DsResult result = OpenPlayback(wfx, &settings_.bufferTimeMs, &device, &primary, &play);
        if (Failed(result)) return result;
        requested = refBufferLen_;
    }
    // With a handed-over buffer nothing was requested: the copy is as long as that buffer.
    BufferCaps caps;
    DsResult result = play->GetCaps(&caps);
    if (Failed(result)) return dxErrorCode_ = result;
    const uint32_t records = caps.bufferBytes / static_cast<uint32_t>(blockBytes);
    if (records == 0) return kErrInvalidArg;
    if (requested == 0) refBufferLen_ = caps.bufferBytes;

    Geometry geometry;
    geometry.blockBytes = static_cast<uint32_t>(blockBytes);
    geometry.blockMs = static_cast<uint32_t>(blockMs);
    geometry.records = records;
    geometry.silence = wfx.wBitsPerSample == 16 ? 0x00 : 0x80;
    // A write touches ten blocks.  On a small ring (the primary buffer can be one) a write
    // touches fewer, and the writer runs less far ahead, so that neither reaches the two
    // blocks behind the write cursor that the device may be playing.
    const uint32_t usable = records > 2 ? records - 2 : 0;
    geometry.blocksPerWrite = std::max(1u, std::min(kBlocksPerWrite, usable / 2));
    geometry.lookAheadMax = usable > geometry.blocksPerWrite ? usable - geometry.blocksPerWrite : 1;
    geometry.lookAhead = std::max(std::min(settings_.bufferTimeMs / geometry.blockMs, geometry.lookAheadMax), 1u);

    std::vector<uint32_t> stamps(records, kNeverWritten);
    if (referenceCopy_ != 0) reference.reset(new uint8_t[refBufferLen_]());

    const uint32_t block = geometry.blockBytes;
    BlockNotifications notifications;
    result = MakeBlockNotifications(*time_, static_cast<int32_t>(records), NotifyEvents::kOneShared,
                                    [block](uint32_t i) { return i * block; }, &notifications);
    if (Failed(result)) return Fail(result, kStepNotifyInterface);
    result = play->SetNotificationPositions(static_cast<uint32_t>(notifications.table.size()),
                                            notifications.table.data());
    if (Failed(result)) return Fail(result, kStepNotificationPositions);
    result = Silence(*play, caps.bufferBytes, geometry.silence);
    if (Failed(result)) return dxErrorCode_ = result;

    geometry_ = geometry;
    stamps_ = std::move(stamps);
    reference_ = std::move(reference);
    primary_ = std::move(primary);
    RingLayout layout;
    layout.blockCount = static_cast<int32_t>(records);
    layout.blockBytes = static_cast<int32_t>(block);
    layout.bufferBytes = caps.bufferBytes;
    Keep(std::move(device), std::move(play), wfx, layout, std::move(notifications));
    return kOk;
}

DsResult CDSoundAudioOut2::OpenPlayback(const WAVEFORMATEX& wfx, uint32_t* bufferTimeMs,
                                        std::unique_ptr<IPlaybackDevice>* device,
                                        std::unique_ptr<IPlaybackBuffer>* primary,
                                        std::unique_ptr<IPlaybackBuffer>* play) {
    DsResult result = CreateDevice(device);
    if (Failed(result)) return Fail(result, kStepCreateDevice);
    // Without the host's owner, one is made on this (the building) thread and kept.
    const OwnerHandle owner = hostWindow_ != 0 ? OwnerHandle{hostWindow_} : ownedWindow_.Get();
    DeviceCaps deviceCaps;
    driverEmulation_ = !Failed((*device)->GetCaps(&deviceCaps)) && (deviceCaps.flags & kDeviceCapsEmulated) ? 1 : 0;
    result = (*device)->SetCooperativeLevel(owner, primaryBuffer_ ? kCooperativeWritePrimary : kCooperativePriority);
    if (Failed(result)) return Fail(result, kStepCooperativeLevel);
    // An emulated driver plays late: it gets at least 120 ms ahead of it.
    if (driverEmulation_ && *bufferTimeMs < kEmulatedMinBufferTimeMs) *bufferTimeMs = kEmulatedMinBufferTimeMs;

    // Twice the buffer time, then whole buffer times more up to at least 800 ms.
    uint64_t bufferMs = uint64_t{2} * *bufferTimeMs;
    while (bufferMs < kMinBufferMs) bufferMs += *bufferTimeMs;
    uint64_t bytes = bufferMs * wfx.nAvgBytesPerSec / 1000u;
    const uint64_t block = uint64_t{settings_.blockSamples} * wfx.nBlockAlign;
    bytes += (block - bytes % block) % block;
    // No device buffer is larger (DirectSound's own limit); refused before anything is made.
    constexpr uint64_t kMaxBufferBytes = 0x0FFFFFFF;
    if (bytes > kMaxBufferBytes) return kErrInvalidArg;
    refBufferLen_ = static_cast<uint32_t>(bytes);

    PlaybackBufferDesc primaryDesc;
    primaryDesc.flags = kBufferPrimary | (softwareBuffer_ ? kBufferLocSoftware : 0u);
    result = (*device)->CreateSoundBuffer(primaryDesc, primary);
    if (Failed(result)) return Fail(result, kStepPrimaryBuffer);
    result = (*primary)->SetFormat(wfx);
    if (Failed(result)) return Fail(result, kStepSetFormat);
    if (primaryBuffer_) {
        *play = std::move(*primary);
        return kDsOk;
    }
    PlaybackBufferDesc desc;
    desc.flags = kBufferGetCurrentPosition2 | kBufferGlobalFocus | kBufferTruePlayPosition | kBufferCtrlPositionNotify |
                 (softwareBuffer_ ? kBufferLocSoftware : 0u);
    desc.bufferBytes = refBufferLen_;
    desc.hasFormat = true;
    desc.format = wfx;
    result = (*device)->CreateSoundBuffer(desc, play);
    if (Failed(result)) return Fail(result, kStepSecondaryBuffer);
    return kDsOk;
}

// The whole buffer to silence; a lost buffer is restored once first.
DsResult CDSoundAudioOut2::Silence(IPlaybackBuffer& buffer, uint32_t bytes, uint8_t silence) {
    void* part1 = nullptr;
    void* part2 = nullptr;
    uint32_t bytes1 = 0;
    uint32_t bytes2 = 0;
    DsResult result = buffer.Lock(0, bytes, &part1, &bytes1, &part2, &bytes2, 0);
    if (result == kDsErrBufferLost) {
        buffer.Restore();
        result = buffer.Lock(0, bytes, &part1, &bytes1, &part2, &bytes2, 0);
    }
    if (Failed(result)) return result;
    std::memset(part1, silence, std::min(bytes1, bytes));
    return buffer.Unlock(part1, bytes1, part2, bytes2);
}

int32_t CDSoundAudioOut2::Start() {
    return LenientStart([this] {
        if (buffer_ != nullptr) {
            const DsResult result = buffer_->Play(kPlayLooping);
            if (Failed(result)) {
                DebugPrintf("AudioOut: Start, ERR=%X\n", static_cast<unsigned>(result));
                Fail(result, kStepPlay);
                return false;
            }
        }
        run_ = Run{};
        return true;
    });
}

int32_t CDSoundAudioOut2::Stop() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateBuilt) return kOk;
    if (buffer_ != nullptr) {
        const DsResult result = buffer_->Stop();
        if (Failed(result)) {
            Fail(result, kStepStop);
            return kErrPlatform;
        }
    }
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioOut2::PutData(const void* buffer, int32_t bytes) {
    if (state_ != kStateRunning) return kErrState;
    if (buffer == nullptr || bytes <= 0) return kErrInvalidArg;
    const uint32_t block = geometry_.blockBytes;
    const uint32_t blocks = static_cast<uint32_t>(bytes) / block;
    const auto* source = static_cast<const uint8_t*>(buffer);
    for (uint32_t i = 0; i < blocks; ++i) {
        const int32_t written = WriteBlock(source + uint64_t{i} * block);
        if (written != static_cast<int32_t>(block)) {
            DebugPrintf("CDSoundAudioOut2::PutData WriteBlock Short %x\n", static_cast<unsigned>(written));
            return written;
        }
    }
    return blocks == 0 ? 0 : static_cast<int32_t>(block);
}

// Waits until the play cursor has moved since the last call; cursors that stand together
// (the device is not playing) cost a buffer time per look, still ones 5 ms.  Still for 30 s
// in all: stalled (no single sleep goes past that, however long the buffer time).
int32_t CDSoundAudioOut2::GetCurrentPosition(uint32_t* play, uint32_t* write) {
    uint32_t waitedMs = 0;
    for (;;) {
        DsResult result = buffer_->GetCurrentPosition(play, write);
        if (Failed(result)) {
            buffer_->Restore();
            result = buffer_->GetCurrentPosition(play, write);
        }
        if (Failed(result)) {
            DebugPrintf("CDSoundAudioOut2::GetCurrentPosition Error %x\n", static_cast<unsigned>(result));
            Fail(result, kStepCursors);
            return kErrPlatform;
        }
        if (*play == *write || *play == run_.lastPlay) {
            const uint32_t sleepMs = std::min(*play == *write ? settings_.bufferTimeMs : 5u, kStallMs - waitedMs);
            time_->SleepMs(sleepMs);
            waitedMs += sleepMs;
        } else {
            run_.lastPlay = *play;
            return kOk;
        }
        if (waitedMs >= kStallMs) return kErrStalled;
    }
}

int32_t CDSoundAudioOut2::WriteBlock(const uint8_t* source) {
    if (buffer_ == nullptr) return kErrPlatform;
    const Geometry& g = geometry_;
    const auto next = [&g](uint32_t record) { return record + 1 == g.records ? 0 : record + 1; };
    uint32_t waitedMs = 0;
    uint32_t chosen = 0;
    for (;;) {
        uint32_t play = 0;
        uint32_t write = 0;
        const int32_t position = GetCurrentPosition(&play, &write);
        if (position != kOk) {
            DebugPrintf("CDSoundAudioOut2::WriteBlock::GetCurrentPosition %x\n", static_cast<unsigned>(position));
            return position;
        }
        // The first record the device does not own: the one at the write cursor, or the next.
        uint32_t first = write / g.blockBytes;
        if (first >= g.records) {
            dxErrorStep_ = kStepNoRecord;  // a cursor past the last whole block: no device result
            return kErrPlatform;
        }
        if (write % g.blockBytes != 0) first = next(first);

        if (run_.sequence - stamps_[first] > g.lookAhead) {
            // Not written among the last N writes: the writer fell behind the device.
            ++run_.lateWrites;
            chosen = first;
            break;
        }
        // Follow the blocks written one after another from the write cursor.
        uint32_t current = first;
        bool full = false;
        for (uint32_t step = 0;; ++step) {
            if (stamps_[current] - stamps_[first] >= g.lookAhead - 1 || step == g.records) {
                full = true;
                break;
            }
            const uint32_t after = next(current);
            if (stamps_[after] == stamps_[current] + 1) {
                current = after;
                continue;
            }
            // Two records never written carry the same stamp: the current one is free.
            chosen = stamps_[after] == stamps_[current] ? current : after;
            break;
        }
        if (!full) break;

        // N blocks ahead of the write cursor: wait for the device to play one.
        platform::IEvent* event = ring_.SharedEvent();
        platform::WaitResult waited = platform::WaitResult::kFailed;
        if (event != nullptr) {
            event->Reset();
            waited = event->Wait(1000);
        }
        if (waited == platform::WaitResult::kTimedOut) {
            time_->SleepMs(100);
            waitedMs += 1100;
        } else {
            waitedMs += 100;
        }
        if (waitedMs >= kStallMs) {
            DebugPrintf("CDSoundAudioOut2::WriteBlock::Retryout %x\n", static_cast<unsigned>(kErrTimeout));
            return kErrTimeout;
        }
    }

    // Widen N after many late writes in one window.
    const uint32_t now = time_->NowMs();
    if (now - run_.windowStartMs >= kLateWindowMs) {
        if (run_.lateWrites > kLateWritesToWiden && geometry_.lookAhead < kLookAheadCap &&
            geometry_.lookAhead < geometry_.lookAheadMax) {
            ++geometry_.lookAhead;
        }
        run_.lateWrites = 0;
        run_.windowStartMs = now;
    }
    stamps_[chosen] = run_.sequence++;
    const int32_t filled = FillBuffer(chosen * g.blockBytes, source, g.blocksPerWrite);
    if (filled != kOk) return filled;
    run_.totalOut += g.blockBytes;
    return static_cast<int32_t>(g.blockBytes);
}

// The block at `offset` gets the caller's audio (zeros while muted after Start), the blocks
// after it silence.
int32_t CDSoundAudioOut2::FillBuffer(uint32_t offset, const uint8_t* source, uint32_t blocks) {
    const uint32_t block = geometry_.blockBytes;
    const uint32_t bytes = blocks * block;
    void* part1 = nullptr;
    void* part2 = nullptr;
    uint32_t bytes1 = 0;
    uint32_t bytes2 = 0;
    DsResult result = buffer_->Lock(offset, bytes, &part1, &bytes1, &part2, &bytes2, 0);
    if (Failed(result)) {
        buffer_->Restore();
        result = buffer_->Lock(offset, bytes, &part1, &bytes1, &part2, &bytes2, 0);
    }
    if (Failed(result)) {
        DebugPrintf("CDSoundAudioOut2::FillBuffer Error %x\n", static_cast<unsigned>(result));
        Fail(result, kStepLock);
        return kErrPlatform;
    }
    // A handed-over buffer might hand out more than asked for: only what was asked is written.
    if (part2 == nullptr) bytes2 = 0;
    bytes1 = std::min(bytes1, bytes);
    bytes2 = std::min(bytes2, bytes - bytes1);
    auto* first = static_cast<uint8_t*>(part1);
    auto* second = static_cast<uint8_t*>(part2);
    // `count` bytes at `at` of the locked region, from `from` or as `fill` bytes.
    const auto put = [&](uint32_t at, const uint8_t* from, uint8_t fill, uint32_t count) {
        for (uint32_t done = 0; done < count;) {
            const uint32_t position = at + done;
            uint8_t* target = position < bytes1 ? first + position : second + (position - bytes1);
            const uint32_t room = position < bytes1 ? bytes1 - position : bytes2 - (position - bytes1);
            const uint32_t n = std::min(room, count - done);
            if (from != nullptr) {
                std::memcpy(target, from + done, n);
            } else {
                std::memset(target, fill, n);
            }
            done += n;
        }
    };
    const uint32_t locked = bytes1 + bytes2;
    for (uint32_t i = 0; i < blocks && uint64_t{i + 1} * block <= locked; ++i) {
        if (i != 0) {
            put(i * block, nullptr, geometry_.silence, block);
        } else if (run_.mutedBlocks < kMutedBlocks) {
            ++run_.mutedBlocks;
            put(0, nullptr, 0x00, block);
        } else {
            put(0, source, 0, block);
        }
    }
    buffer_->Unlock(part1, bytes1, part2, bytes2);
    if (referenceCopy_ != 0) CopyReference(offset, source);
    return kOk;
}

// The caller's block at the same offset of the reference copy, wrapping at its end.
void CDSoundAudioOut2::CopyReference(uint32_t offset, const uint8_t* source) {
    if (reference_ == nullptr || refBufferLen_ == 0) return;
    uint32_t at = offset % refBufferLen_;
    for (uint32_t done = 0; done < geometry_.blockBytes;) {
        const uint32_t n = std::min(refBufferLen_ - at, geometry_.blockBytes - done);
        std::memcpy(reference_.get() + at, source + done, n);
        done += n;
        at = 0;
    }
}

}  // namespace zelmar
