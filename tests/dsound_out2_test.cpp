// DSoundAudioOut2 on the virtual sound device in virtual time: the geometry its settings give,
// the played stream (muted start, blocks in order, silence after the last block, a writer
// that falls behind heard at the write cursor), the look-ahead limit widened by late writes,
// the reference copy against what was played, and the codes of failing, lost and stalled
// devices.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "devices/DSoundAudioOut2.h"
#include "platform/audio/WaveDevices.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

using platform::audio::VirtualAudioService;
using Op = VirtualAudioService::Operation;
namespace pa = platform::audio;

constexpr int32_t kBlockSamples = 160;  // 10 ms at 16 kHz
constexpr int32_t kBlockBytes = kBlockSamples * 2;

int32_t Get(IAudioIO* io, const char* name) {
    int32_t value = -12345;
    EXPECT_EQ(io->GetProperty(name, 0, &value), kOk) << name;
    return value;
}

test::ComponentPtr Make(std::initializer_list<std::pair<const char*, int32_t>> settings) {
    test::ComponentPtr io = test::Make("DSoundAudioOut2");
    for (const auto& [name, value] : settings) EXPECT_EQ(io->SetProperty(name, value, nullptr), kOk) << name;
    return io;
}

// What the device played, as 16-bit words; a tap installed for the test's scope.
struct Played {
    explicit Played(VirtualAudioService& audio) {
        audio.SetLoopback(false);
        audio.SetPlaybackTap([this](const uint8_t* bytes, uint32_t n) {
            for (uint32_t i = 0; i + 1 < n; i += 2) {
                int16_t w;
                std::memcpy(&w, bytes + i, 2);
                words.push_back(w);
            }
        });
    }
    // The value of each run of equal non-zero words, with the word where it starts.
    std::vector<std::pair<int16_t, size_t>> Runs() const {
        std::vector<std::pair<int16_t, size_t>> runs;
        for (size_t i = 0; i < words.size(); ++i) {
            if (words[i] != 0 && (i == 0 || words[i - 1] != words[i])) runs.emplace_back(words[i], i);
        }
        return runs;
    }
    std::vector<int16_t> words;
};

// Block k of a stream carries the value k + 1 in every word.
int32_t PutBlock(IAudioIO* io, int16_t value) {
    std::vector<int16_t> block(kBlockSamples, value);
    return io->PutData(block.data(), kBlockBytes);
}

// Three playback devices that the multimedia view lists in another order, names cut to 31
// characters: "DSoundAudioOut2" numbers them in that order, "DSoundAudioOut" as listed.
class ThreeSpeakers final : public pa::IAudioService {
public:
    pa::DsResult EnumerateCapture(std::vector<pa::DeviceDescription>* d) override { return d->clear(), pa::kDsOk; }
    pa::DsResult EnumeratePlayback(std::vector<pa::DeviceDescription>* d) override {
        *d = {{kNames[0], {{1}}}, {kNames[1], {{2}}}, {kNames[2], {{3}}}};
        return pa::kDsOk;
    }
    pa::DsResult CreateCapture(const pa::DeviceGuid*, std::unique_ptr<pa::ICaptureDevice>*) override {
        return pa::kDsErrNoDriver;
    }
    pa::DsResult CreatePlayback(const pa::DeviceGuid*, std::unique_ptr<pa::IPlaybackDevice>*) override {
        return pa::kDsErrNoDriver;
    }
    pa::DsResult CreateFullDuplex(const pa::DeviceGuid*, const pa::DeviceGuid*, const pa::CaptureBufferDesc&,
                                  const pa::PlaybackBufferDesc&, pa::OwnerHandle, uint32_t,
                                  std::unique_ptr<pa::IFullDuplex>*, std::unique_ptr<pa::ICaptureBuffer>*,
                                  std::unique_ptr<pa::IPlaybackBuffer>*) override {
        return pa::kDsErrNoDriver;
    }
    std::unique_ptr<pa::IWaveDevices> OpenWaveDevices() override {
        return pa::MakeWaveDevices({}, {kNames[2], kNames[0], kNames[1]});
    }
    static constexpr const char* kNames[] = {"Speakers (High Definition Audio Device)", "Headset Earphone (USB Audio)",
                                             "HDMI Output (NVIDIA High Definition Audio)"};
};

TEST(DSoundAudioOut2, NumbersDevicesInWaveOutOrder) {
    ThreeSpeakers service;
    platform::Services services{};
    services.audio = &service;
    platform::ScopedPlatform scope(services);
    for (const auto& [component, order] : {std::pair{"DSoundAudioOut2", std::vector<int>{2, 0, 1}},
                                           std::pair{"DSoundAudioOut", std::vector<int>{0, 1, 2}}}) {
        test::ComponentPtr io = test::Make(component);
        ASSERT_EQ(Get(io.get(), "OutDeviceNum"), 3);
        for (int32_t i = 0; i < 3; ++i) {
            char name[64] = {};
            uint8_t guid[16] = {};
            ASSERT_EQ(io->GetProperty("OutDeviceName", i, name), kOk);
            ASSERT_EQ(io->GetProperty("OutDeviceGUID", i, guid), kOk);
            EXPECT_STREQ(name, ThreeSpeakers::kNames[order[size_t(i)]]) << component << " " << i;
            EXPECT_EQ(guid[0], order[size_t(i)] + 1) << component << " " << i;
        }
    }
}

TEST(DSoundAudioOut2, GeometryFromTheSettings) {
    struct Row {
        int32_t blockSamples, bufferMs;
        bool emulated, primary;
        int32_t limitMs, refLen;
    };
    // B = samples × 2; D whole ms; N = buffer time ÷ D; the buffer 2, 3, … buffer times up to
    // 800 ms; limit = N × the true block length.
    const Row rows[] = {
        {40, 200, false, false, 250, 25600},  // D = 2 (2.5 ms blocks), N = 100, 800 ms
        {320, 60, false, false, 60, 26880},   // D = 20, N = 3, 840 ms
        {320, 50, false, false, 60, 26880},   // raised to whole blocks
        {320, 60, true, false, 120, 26880},   // emulated: 120 ms, N = 6, 840 ms
        {160, 60, false, true, 40, 26880},    // primary buffer of 100 ms: N held to 4
    };
    for (const Row& row : rows) {
        test::VirtualSound sound;
        sound.audio.SetPlaybackCapsFlags(row.emulated ? pa::kDeviceCapsEmulated : 0);
        test::ComponentPtr io = Make({{"BlockSamples", row.blockSamples}, {"OutBufferTime", row.bufferMs},
                                      {"PrimaryBuffer", row.primary}});
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(Get(io.get(), "NotifySize"), row.blockSamples * 2);
        EXPECT_EQ(Get(io.get(), "InternalLimitSize"), row.limitMs) << row.blockSamples << " " << row.bufferMs;
        EXPECT_EQ(Get(io.get(), "RefBufferLen"), row.refLen);
        EXPECT_EQ(Get(io.get(), "DriverEmulation"), row.emulated ? 1 : 0);
        EXPECT_TRUE(row.primary || sound.audio.LastBufferBytes() == uint32_t(row.refLen));
    }
}

// A writer that keeps ahead: the first 50 blocks after Start play muted, then every block
// once and in order, and when it stops the nine blocks after its last are silent before the
// ring's older audio comes round again.  In the primary buffer too.
TEST(DSoundAudioOut2, PlayedStreamMutedStartOrderAndSilenceAfterTheLastBlock) {
    for (const bool primary : {false, true}) {
        test::VirtualSound sound;
        Played played(sound.audio);
        test::ComponentPtr io = Make({{"BlockSamples", kBlockSamples}, {"OutBufferTime", 60}, {"PrimaryBuffer", primary}});
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        constexpr int kBlocks = 200;
        const uint32_t startMs = sound.platform.time.NowMs();
        std::vector<uint32_t> writtenMs;
        for (int k = 0; k < kBlocks; ++k) {
            ASSERT_EQ(PutBlock(io.get(), int16_t(k + 1)), kBlockBytes) << k;
            writtenMs.push_back(sound.platform.time.NowMs());
        }
        sound.platform.time.SleepMs(300);
        sound.audio.Pump();

        const auto runs = played.Runs();
        ASSERT_GE(runs.size(), size_t(kBlocks - 50)) << primary;
        for (int k = 50; k < kBlocks; ++k) {
            ASSERT_EQ(runs[size_t(k - 50)].first, k + 1) << "block " << k << (primary ? " primary" : "");
            EXPECT_TRUE(k == 50 || runs[size_t(k - 50)].second - runs[size_t(k - 51)].second == size_t(kBlockSamples));
            // Written N blocks after the one at the write cursor (10 ms ahead of the play
            // cursor): heard N blocks and a fraction of one later (N = 6; the primary ring, 4).
            const uint32_t aheadMs = startMs + uint32_t(runs[size_t(k - 50)].second / 16) - writtenMs[size_t(k)];
            const uint32_t lookAheadMs = primary ? 40 : 60;
            EXPECT_TRUE(k <= 60 || (aheadMs >= lookAheadMs && aheadMs < lookAheadMs + 10)) << aheadMs << " ms, block " << k;
        }
        if (primary) continue;  // its ring of ten blocks clears fewer
        const size_t end = runs[kBlocks - 51].second + kBlockSamples;
        ASSERT_GE(played.words.size(), end + 10 * kBlockSamples);
        for (size_t i = end; i < end + 9 * kBlockSamples; ++i) ASSERT_EQ(played.words[i], 0) << "word " << i - end;
        // Past the cleared blocks the ring replays what it held a lap before.
        EXPECT_NE(played.words[end + 9 * kBlockSamples], 0);
    }
}

// A writer that pauses longer than the look-ahead is heard at the write cursor, ten
// milliseconds (the device's lead) to a block after its write, not a lap later.
TEST(DSoundAudioOut2, AWriterThatFellBehindIsHeardAtTheWriteCursor) {
    test::VirtualSound sound;
    Played played(sound.audio);
    test::ComponentPtr io = Make({{"BlockSamples", kBlockSamples}, {"OutBufferTime", 60}});
    ASSERT_EQ(io->Build(), kOk);
    const uint32_t startMs = sound.platform.time.NowMs();
    ASSERT_EQ(io->Start(), kOk);
    for (int k = 0; k < 80; ++k) ASSERT_EQ(PutBlock(io.get(), int16_t(k + 1)), kBlockBytes);
    sound.platform.time.SleepMs(333);
    const uint32_t resumeMs = sound.platform.time.NowMs();
    for (int k = 80; k < 100; ++k) ASSERT_EQ(PutBlock(io.get(), int16_t(k + 1)), kBlockBytes);
    sound.platform.time.SleepMs(300);
    sound.audio.Pump();

    size_t at = 0;
    for (const auto& [value, word] : played.Runs()) {
        if (value == 81) {
            at = word;
            break;
        }
    }
    ASSERT_NE(at, 0u);
    const double heardMs = startMs + at / 16.0;
    EXPECT_GE(heardMs, resumeMs + 10.0);
    EXPECT_LE(heardMs, resumeMs + 20.0);
}

// With 20 ms blocks and N = 3, a writer that pauses 40 ms or more before each block is late
// every time.  More than 15 late writes in a 2 s window widen N by one, from 3 up to 5 and no
// further; 15 (a pause of 140 ms) or none (a writer on time) leave it.
TEST(DSoundAudioOut2, LateWritesWidenTheLookAheadUpToFiveBlocks) {
    struct Row {
        uint32_t pauseMs;
        std::vector<int32_t> limits;  // "InternalLimitSize" as it changes
    };
    const Row rows[] = {{40, {60, 80, 100}}, {125, {60, 80, 100}}, {140, {60}}, {0, {60}}};
    for (const Row& row : rows) {
        test::VirtualSound sound;
        test::ComponentPtr io = Make({{"BlockSamples", 320}, {"OutBufferTime", 60}});
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        std::vector<int16_t> block(320, 100);
        std::vector<int32_t> limits;
        while (sound.platform.time.NowMs() < 15000) {
            if (row.pauseMs != 0) sound.platform.time.SleepMs(row.pauseMs);
            ASSERT_EQ(io->PutData(block.data(), 640), 640);
            const int32_t limit = Get(io.get(), "InternalLimitSize");
            if (limits.empty() || limits.back() != limit) limits.push_back(limit);
        }
        EXPECT_EQ(limits, row.limits) << "pause " << row.pauseMs;
    }
}

// The reference copy holds, at the play buffer's offsets, what the device played there, and
// "PlayPos" says where the device is in it.
TEST(DSoundAudioOut2, TheReferenceCopyMatchesWhatWasPlayed) {
    test::VirtualSound sound;
    Played played(sound.audio);
    test::ComponentPtr io = Make({{"BlockSamples", kBlockSamples}, {"OutBufferTime", 60}, {"RefBuffer", 1}});
    ASSERT_EQ(io->Build(), kOk);
    void* given = nullptr;
    ASSERT_EQ(io->SetProperty("RefBuffer", 1, &given), kOk);
    intptr_t address = 0;
    ASSERT_EQ(io->GetProperty("RefBuffer", 0, &address), kOk);
    ASSERT_NE(given, nullptr);
    ASSERT_EQ(reinterpret_cast<intptr_t>(given), address);
    const auto* reference = static_cast<const int16_t*>(given);
    const size_t words = size_t(Get(io.get(), "RefBufferLen")) / 2;
    ASSERT_EQ(io->Start(), kOk);
    for (int k = 0; k < 150; ++k) {
        std::vector<int16_t> block(kBlockSamples);
        for (int i = 0; i < kBlockSamples; ++i) block[size_t(i)] = int16_t(k * 7 + i + 1);
        ASSERT_EQ(io->PutData(block.data(), kBlockBytes), kBlockBytes);
    }
    sound.platform.time.SleepMs(100);
    EXPECT_EQ(size_t(Get(io.get(), "PlayPos")), played.words.size() * 2 % (words * 2));
    const size_t total = played.words.size();
    size_t compared = 0;
    for (size_t i = total - words; i < total; ++i) {
        if (played.words[i] == 0) continue;
        ASSERT_EQ(reference[i % words], played.words[i]) << "word " << i;
        ++compared;
    }
    EXPECT_GT(compared, words / 2);
}

// Each failing step answers its code and leaves its step number and the device's result.
TEST(DSoundAudioOut2, FailingLostAndStalledDevicesGiveTheirCodes) {
    constexpr int32_t kLost = pa::kDsErrBufferLost;
    struct Row {
        const char* what;
        Op op;
        int times;
        char at;  // 'B' Build, 'S' Start, 'W' a write, 'T' cursors stalled at a write, 'L' buffers lost
        int32_t result, step;
    };
    const Row rows[] = {
        {"device", Op::kCreateDevice, 1, 'B', kErrPlatform, 3},
        {"cooperative level", Op::kSetCooperativeLevel, 1, 'B', kErrPlatform, 4},
        {"primary buffer", Op::kCreateBuffer, 1, 'B', kErrPlatform, 5},
        {"format", Op::kSetFormat, 1, 'B', kErrPlatform, 6},
        {"notifications", Op::kSetNotificationPositions, 1, 'B', kErrPlatform, 10},
        {"silence fill lost once: restored", Op::kLock, 1, 'B', kOk, 0},
        {"silence fill lost twice", Op::kLock, 2, 'B', kErrPlatform, 0},
        {"play", Op::kPlay, 1, 'S', kErrPlatform, 1},
        {"cursors fail once: read again", Op::kGetCurrentPosition, 1, 'W', kBlockBytes, 0},
        {"cursors fail twice", Op::kGetCurrentPosition, 2, 'W', kErrPlatform, 32},
        {"lock fails twice", Op::kLock, 2, 'W', kErrPlatform, 33},
        {"cursors still for 30 s", Op::kCount, 0, 'T', kErrStalled, 0},
        {"lost buffer: restored, not playing until started again", Op::kCount, 0, 'L', kErrStalled, 0},
    };
    for (const Row& row : rows) {
        test::VirtualSound sound;
        test::ComponentPtr io = Make({{"BlockSamples", kBlockSamples}, {"OutBufferTime", 60}});
        if (row.at != 'B') {
            ASSERT_EQ(io->Build(), kOk);
            if (row.at != 'S') {
                ASSERT_EQ(io->Start(), kOk);
                ASSERT_EQ(PutBlock(io.get(), 5), kBlockBytes);
            }
        }
        if (row.op != Op::kCount) sound.audio.FailNext(row.op, kLost, row.times);
        if (row.at == 'T') sound.audio.SetCursorsStalled(true);
        if (row.at == 'L') sound.audio.LoseBuffers();
        const uint32_t before = sound.platform.time.NowMs();
        const int32_t got = row.at == 'B' ? io->Build() : row.at == 'S' ? io->Start() : PutBlock(io.get(), 5);
        EXPECT_EQ(got, row.result) << row.what;
        EXPECT_EQ(Get(io.get(), "DXErrorCodeSub"), row.step) << row.what;
        EXPECT_EQ(Get(io.get(), "DXErrorCode"), got == kErrPlatform ? kLost : 0) << row.what;
        char text[80] = {};
        ASSERT_EQ(io->GetProperty("DXErrorString", sizeof text, text), kOk);
        EXPECT_EQ(std::string(text), got == kErrPlatform ? "The buffer memory has been lost and must be restored." : "");
        if (got == kErrStalled) {
            EXPECT_EQ(sound.platform.time.NowMs() - before, 30000u) << row.what;
        }
        if (row.at == 'L') {
            EXPECT_EQ(Get(io.get(), "PlayPos"), Get(io.get(), "PlayPos"));
            ASSERT_EQ(io->Stop(), kOk);
            ASSERT_EQ(io->Start(), kOk);
            EXPECT_EQ(PutBlock(io.get(), 5), kBlockBytes);
        }
    }
}

}  // namespace
}  // namespace zelmar
