// "DSoundAudioOut2": plays PCM through a sound device, placing each block by the device's
// cursors.  The looping buffer (at least 800 ms) is a ring of block records stamped with the
// write sequence; each PutData block goes right after the last block written, or at the write
// cursor when the writer has fallen behind, and never more than the look-ahead limit N blocks
// ahead of the write cursor (the writer waits on the block notifications instead).  N widens
// by one, up to 5, when writes keep arriving late.  Every write clears the nine blocks after
// its own, so a writer that stops leaves silence; the first 50 blocks after Start play
// muted.  A host with its own echo canceller can have a reference copy of the audio at the
// play buffer's offsets ("RefBuffer") and read the play cursor beside it ("PlayPos").
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devices/DeviceEndpoint.h"
#include "devices/DummyWindow.h"
#include "framework/Properties.h"

namespace zelmar {

class CDSoundAudioOut2 : public CDeviceEndpoint<PlaybackSide> {
public:
    CDSoundAudioOut2();
    ~CDSoundAudioOut2() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;

    static const PropertyTable<CDSoundAudioOut2>& Properties();

    // "DXErrorCodeSub": the step that failed last.
    enum Step : int32_t {
        kStepPlay = 1,
        kStepStop = 2,
        kStepCreateDevice = 3,
        kStepCooperativeLevel = 4,
        kStepPrimaryBuffer = 5,
        kStepSetFormat = 6,
        kStepSecondaryBuffer = 7,
        kStepBufferInterface = 8,
        kStepNotifyInterface = 9,
        kStepNotificationPositions = 10,
        kStepCursors = 32,
        kStepLock = 33,
        kStepNoRecord = 36,
    };

    static constexpr uint32_t kNeverWritten = 0xFFFFFFFFu;
    static constexpr int32_t kMutedBlocks = 50;          // after Start
    static constexpr uint32_t kBlocksPerWrite = 10;      // the block and the nine cleared after it
    static constexpr uint32_t kLookAheadCap = 5;         // N widens up to this, never past it
    static constexpr uint32_t kLateWritesToWiden = 15;   // more than this many in one window
    static constexpr uint32_t kLateWindowMs = 2000;
    static constexpr uint32_t kStallMs = 30000;          // cursors still this long: stalled
    static constexpr uint32_t kMinBufferMs = 800;
    static constexpr uint32_t kEmulatedMinBufferTimeMs = 120;

private:
    int32_t OpenDevice();
    platform::audio::DsResult OpenPlayback(const WAVEFORMATEX& wfx, uint32_t* bufferTimeMs,
                                           std::unique_ptr<platform::audio::IPlaybackDevice>* device,
                                           std::unique_ptr<platform::audio::IPlaybackBuffer>* primary,
                                           std::unique_ptr<platform::audio::IPlaybackBuffer>* play);
    platform::audio::DsResult Silence(platform::audio::IPlaybackBuffer& buffer, uint32_t bytes, uint8_t silence);
    void ReleaseDevice();
    int32_t Fail(platform::audio::DsResult result, int32_t step);

    int32_t GetCurrentPosition(uint32_t* play, uint32_t* write);
    int32_t WriteBlock(const uint8_t* source);
    int32_t FillBuffer(uint32_t offset, const uint8_t* source, uint32_t blocks);
    void CopyReference(uint32_t offset, const uint8_t* source);

    // Property hooks.
    int32_t SetSoftwareBuffer(int32_t value, void*);
    int32_t SetPrimaryBuffer(int32_t value, void*);
    int32_t SetRefBuffer(int32_t value, void* data);
    int32_t GetRefBuffer(int32_t, void* out);
    int32_t GetPlayPos(int32_t, void* out);
    int32_t GetErrorString(int32_t size, void* out);
    int32_t GetInternalLimitSize(int32_t, void* out);

    // Settings beyond those every endpoint takes.
    int32_t hostWindow_ = 0;  // "hWnd": the owner for the cooperative level, 0 for none
    int32_t softwareBuffer_ = 0;
    int32_t primaryBuffer_ = 0;
    int32_t referenceCopy_ = 0;

    OwnedDummyWindow ownedWindow_;
    std::unique_ptr<platform::audio::IPlaybackBuffer> primary_;  // null in primary mode (it plays)

    // Made by Build.  The look-ahead limit keeps any widening until the next Build.
    struct Geometry {
        uint32_t blockBytes = 0;      // B
        uint32_t blockMs = 0;         // D, whole milliseconds
        uint32_t records = 0;         // M
        uint32_t lookAhead = 0;       // N
        uint32_t lookAheadMax = 0;    // the most the ring leaves room for (N never widens past 5)
        uint32_t blocksPerWrite = 0;  // the block and those cleared after it (10 on any usual ring)
        uint8_t silence = 0;
    } geometry_;
    int32_t driverEmulation_ = 0;
    uint32_t refBufferLen_ = 0;  // "RefBufferLen"
    std::vector<uint32_t> stamps_;  // write stamp of each block record
    std::unique_ptr<uint8_t[]> reference_;

    // Reset at Start.
    struct Run {
        uint32_t totalOut = 0;
        uint32_t sequence = 0;
        uint32_t lateWrites = 0;
        uint32_t windowStartMs = 0;
        int32_t mutedBlocks = 0;
        uint32_t lastPlay = 0;
    } run_;

    int32_t dxErrorCode_ = 0;
    int32_t dxErrorStep_ = 0;
};

}  // namespace zelmar
