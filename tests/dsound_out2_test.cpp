// DSoundAudioOut2 on the virtual sound device in virtual time: the played stream against what
// was written (muted start, order, look-ahead, a writer heard at the write cursor after a
// pause, silence after the last block, the reference copy), the look-ahead widened by late
// writes, and the codes of failing, lost and stalled devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "framework/Result.h"
#include "support/Devices.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

using Op = platform::audio::VirtualAudioService::Operation;
namespace pa = platform::audio;
constexpr int32_t kSamples = 160;  // 10 ms blocks at 16 kHz

test::ComponentPtr Make(std::initializer_list<std::pair<const char*, int32_t>> settings) {
    return test::MakeWith("DSoundAudioOut2", settings);
}

// Block k (below 200) carries k * 160 + i + 1 in word i: never 0, and every played word tells
// its block.
int32_t PutBlock(IAudioIO* io, int k, int32_t samples = kSamples) {
    std::vector<int16_t> block(static_cast<size_t>(samples));
    for (int32_t i = 0; i < samples; ++i) block[size_t(i)] = int16_t(k * kSamples + i + 1);
    return io->PutData(block.data(), samples * 2);
}

// 100 blocks, a pause of 333 ms, 100 more, in the secondary (N = 6) and the primary buffer (a
// ring of ten blocks: N = 4).  Played: nothing of the first 50 blocks, then each block once,
// N blocks and a fraction after its write; the first after the pause at the write cursor
// (10 ms ahead of the play cursor); 9 silent blocks after the last.  The reference copy
// holds, at the play buffer's offsets, what the device played there.
TEST(DSoundAudioOut2, PlayedStreamAgainstWhatWasWritten) {
    for (const bool primary : {false, true}) {
        test::VirtualSound sound;
        std::vector<int16_t> played;
        sound.audio.SetLoopback(false);
        sound.audio.SetPlaybackTap([&](const uint8_t* bytes, uint32_t n) {
            played.resize(played.size() + n / 2);
            std::memcpy(played.data() + played.size() - n / 2, bytes, n / 2 * 2);
        });
        test::ComponentPtr io = Make({{"BlockSamples", kSamples}, {"OutBufferTime", 60}, {"PrimaryBuffer", primary},
                                      {"RefBuffer", 1}});
        ASSERT_EQ(io->Build(), kOk);
        const uint32_t startMs = sound.platform.time.NowMs();
        ASSERT_EQ(io->Start(), kOk);
        std::vector<uint32_t> writtenMs;
        for (int k = 0; k < 200; ++k) {
            if (k == 100) sound.platform.time.SleepMs(333);
            ASSERT_EQ(PutBlock(io.get(), k), kSamples * 2) << k;
            writtenMs.push_back(sound.platform.time.NowMs());
        }
        sound.platform.time.SleepMs(300);
        const uint32_t playPos = uint32_t(test::IntProperty(io.get(), "PlayPos"));
        std::vector<size_t> heard(200, 0);  // where each block's first word was played
        for (size_t w = 0; w < played.size(); ++w) {
            const int k = (played[w] - 1) / kSamples;
            if (played[w] > 0 && (played[w] - 1) % kSamples == 0 && heard[size_t(k)] == 0) heard[size_t(k)] = w;
        }
        const uint32_t lookAheadMs = primary ? 40 : 60;
        for (int k = 0; k < 200; ++k) {
            const uint32_t aheadMs = startMs + uint32_t(heard[size_t(k)] / 16) - writtenMs[size_t(k)];
            EXPECT_EQ(heard[size_t(k)] == 0, k < 50) << "block " << k;
            if ((k > 56 && k < 100) || k > 115) {  // not while the writer gets ahead again
                EXPECT_TRUE(aheadMs >= lookAheadMs && aheadMs < lookAheadMs + 10) << aheadMs << " ms, block " << k;
            }
            EXPECT_TRUE(k == 100 || k <= 50 || heard[size_t(k)] - heard[size_t(k - 1)] == size_t(kSamples)) << k;
        }
        const uint32_t afterPauseMs = startMs + uint32_t(heard[100] / 16) - writtenMs[99] - 333;
        // (Not on the ring of ten: its stamps cannot tell a pause of laps from none.)
        EXPECT_TRUE(primary || (afterPauseMs >= 10 && afterPauseMs < 20)) << afterPauseMs;
        const size_t end = heard[199] + kSamples;
        ASSERT_GE(played.size(), end + 10 * kSamples);
        const size_t cleared = primary ? 3 : 9;  // the ring of ten blocks clears fewer
        for (size_t w = end; w < end + cleared * kSamples; ++w) ASSERT_EQ(played[w], 0) << primary << " word " << w - end;
        EXPECT_TRUE(primary || played[end + cleared * kSamples] != 0);  // the ring's older audio again

        intptr_t address = 0;
        ASSERT_EQ(io->GetProperty("RefBuffer", 0, &address), kOk);
        const auto* reference = reinterpret_cast<const int16_t*>(address);
        ASSERT_NE(reference, nullptr);
        // The primary buffer is shorter than the copy: its offsets stay inside it.
        const size_t ring = primary ? 1600 : size_t(test::IntProperty(io.get(), "RefBufferLen")) / 2;
        EXPECT_EQ(playPos, played.size() * 2 % (ring * 2));
        for (size_t w = std::max(heard[150], end - ring); w < end; ++w) ASSERT_EQ(reference[w % ring], played[w]) << primary << " word " << w;
    }
}

// With 20 ms blocks and N = 3 a writer that pauses 40 ms or more before each block is late
// every time: more than 15 late writes in a 2 s window widen N by one, from 3 up to 5 and no
// further; 15 (a 140 ms pause) or none (a writer on time) leave it.  An emulated driver has an
// output buffer time of at least 120 ms: N = 6, never widened.
TEST(DSoundAudioOut2, LateWritesWidenTheLookAheadUpToFiveBlocks) {
    struct Row {
        uint32_t pauseMs;
        bool emulated;
        std::vector<int32_t> limits;  // "InternalLimitSize" as it changes
    };
    const Row rows[] = {{40, false, {60, 80, 100}}, {125, false, {60, 80, 100}}, {140, false, {60}},
                        {0, false, {60}},           {40, true, {120}}};
    for (const Row& row : rows) {
        test::VirtualSound sound;
        sound.audio.SetPlaybackCapsFlags(row.emulated ? pa::kDeviceCapsEmulated : 0);
        test::ComponentPtr io = Make({{"BlockSamples", 320}, {"OutBufferTime", 60}});
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(test::IntProperty(io.get(), "DriverEmulation"), row.emulated ? 1 : 0);
        ASSERT_EQ(io->Start(), kOk);
        std::vector<int32_t> limits;
        while (sound.platform.time.NowMs() < 15000) {
            sound.platform.time.SleepMs(row.pauseMs);
            ASSERT_EQ(PutBlock(io.get(), 1, 320), 640);
            const int32_t limit = test::IntProperty(io.get(), "InternalLimitSize");
            if (limits.empty() || limits.back() != limit) limits.push_back(limit);
        }
        EXPECT_EQ(limits, row.limits) << "pause " << row.pauseMs;
    }
}

// Each failing step answers its code and leaves its step number and the device's result; a
// lost buffer is restored but plays again only after Stop and Start.
TEST(DSoundAudioOut2, FailingLostAndStalledDevicesGiveTheirCodes) {
    constexpr int32_t kLost = pa::kDsErrBufferLost;
    struct Row {
        Op op;
        int times;
        char at;  // 'B' Build, 'S' Start, 'W' a write, 'T' cursors stalled at a write, 'L' buffers lost
        int32_t result, step;
    };
    const Row rows[] = {
        {Op::kCreateDevice, 1, 'B', kErrPlatform, 3},   {Op::kSetCooperativeLevel, 1, 'B', kErrPlatform, 4},
        {Op::kCreateBuffer, 1, 'B', kErrPlatform, 5},   {Op::kSetFormat, 1, 'B', kErrPlatform, 6},
        {Op::kSetNotificationPositions, 1, 'B', kErrPlatform, 10},
        {Op::kLock, 1, 'B', kOk, 0},  // the silence fill restores a lost buffer once
        {Op::kLock, 2, 'B', kErrPlatform, 0},           {Op::kPlay, 1, 'S', kErrPlatform, 1},
        {Op::kGetCurrentPosition, 1, 'W', 320, 0},      {Op::kGetCurrentPosition, 2, 'W', kErrPlatform, 32},
        {Op::kLock, 2, 'W', kErrPlatform, 33},          {Op::kCount, 0, 'T', kErrStalled, 0},
        {Op::kCount, 0, 'L', kErrStalled, 0},
    };
    for (const Row& row : rows) {
        test::VirtualSound sound;
        test::ComponentPtr io = Make({{"BlockSamples", kSamples}, {"OutBufferTime", 60}});
        const std::string what = std::string(1, row.at) + " op " + std::to_string(int(row.op)) + "x" + std::to_string(row.times);
        ASSERT_EQ(row.at == 'B' ? kOk : io->Build(), kOk);
        if (row.at != 'B' && row.at != 'S') {
            ASSERT_EQ(io->Start(), kOk);
            ASSERT_EQ(PutBlock(io.get(), 1), 320);
        }
        if (row.op != Op::kCount) sound.audio.FailNext(row.op, kLost, row.times);
        if (row.at == 'T') sound.audio.SetCursorsStalled(true);
        if (row.at == 'L') sound.audio.LoseBuffers();
        const uint32_t before = sound.platform.time.NowMs();
        const int32_t got = row.at == 'B' ? io->Build() : row.at == 'S' ? io->Start() : PutBlock(io.get(), 1);
        EXPECT_EQ(got, row.result) << what;
        EXPECT_EQ(test::IntProperty(io.get(), "DXErrorCodeSub"), row.step) << what;
        EXPECT_EQ(test::IntProperty(io.get(), "DXErrorCode"), got == kErrPlatform ? kLost : 0) << what;
        char text[80] = {};
        ASSERT_EQ(io->GetProperty("DXErrorString", sizeof text, text), kOk);
        EXPECT_EQ(std::string(text), got == kErrPlatform ? "The buffer memory has been lost and must be restored." : "");
        // 30 s of virtual time, in milliseconds of real time.
        EXPECT_TRUE(got != kErrStalled || sound.platform.time.NowMs() - before == 30000u) << what;
        if (row.at != 'L') continue;
        EXPECT_EQ(test::IntProperty(io.get(), "PlayPos"), test::IntProperty(io.get(), "PlayPos"));
        ASSERT_EQ(io->Stop(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        EXPECT_EQ(PutBlock(io.get(), 1), 320);
    }
}

}  // namespace
}  // namespace zelmar
