// The second-generation device components on the virtual device in virtual time.
// "DSoundAudioIn2": buffer sizes (with a DSoundAudioInOut pair's), block order and skipping,
// stalls, the self-restart before "TotalIn" wraps, failure texts, a second thread's Stop (of a
// blocked and of a streaming reader).
// "DSoundAudioOut2": the played stream against what was written (muted start, order,
// look-ahead, a writer heard at the write cursor after a pause, silence after the last block,
// the reference copy), the look-ahead widened by late writes, and the codes of failing, lost
// and stalled devices.  Effects: dsound_test.cpp; on a real server: dsound_pulse_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/DSoundAudioIn2.h"
#include "framework/Result.h"
#include "support/Devices.h"
#include "support/TestPlatform.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
using Op = pa::VirtualAudioService::Operation;
constexpr int32_t kRate = 16000;
constexpr int32_t kSamples = 160;  // 10 ms blocks at 16 kHz

test::ComponentPtr Capture(int32_t rate, int32_t channels, int32_t blockSamples, int32_t bufferMs) {
    return test::Running("DSoundAudioIn2", {{"SamplesPerSec", rate}, {"Channels", channels}, {"BlockSamples", blockSamples},
                                            {"InBufferTime", bufferMs}}, false);
}

// DSoundAudioIn2's buffer: 2 x the input buffer time (raised to whole blocks of whole ms, D),
// more until 800 ms, rounded up to whole blocks.  A DSoundAudioInOut pair's two buffers: ten
// output buffer times (raised to whole blocks of D ms), more until at least 1000 ms.  Blocks
// under 1 ms and a buffer time of 0 are not opened.
TEST(DSoundIn2, BufferSizesOfTheCaptureAndOfAPairInWholeBlocks) {
    struct Case { bool pair; int32_t rate, blockSamples, bufferMs; uint32_t bytes; };  // bytes 0: refused
    for (const Case& c : {Case{false, 16000, 40, 200, 25600},   // 2.5 ms blocks counted as 2 ms: 800 ms
                          Case{false, 16000, 320, 50, 26880},   // 20 ms blocks: 50 -> 60 ms, 840 ms
                          Case{false, 44100, 1000, 200, 78000}, // 22 ms: 220 ms, 880 ms = 38.8 blocks -> 39
                          Case{false, 16000, 15, 200, 0}, Case{false, 16000, 160, 0, 0},
                          Case{true, 16000, 40, 200, 64000},    // D 2 ms: 2000 ms
                          Case{true, 16000, 320, 60, 32640},    // D 20 ms: 600, 660 ... 1020 ms
                          Case{true, 16000, 160, 35, 32000},    // 35 ms raised to 40: 400, 440 ... 1000 ms
                          Case{true, 16000, 160, 150, 48000},   // 1500 ms
                          Case{true, 16000, 10, 200, 0}, Case{true, 16000, 160, 0, 0}}) {
        SCOPED_TRACE(testing::Message() << (c.pair ? "pair " : "capture ") << c.blockSamples << " samples, " << c.bufferMs << " ms");
        test::VirtualSound sound;
        test::ComponentPtr io = test::Running(c.pair ? "DSoundAudioInOut" : "DSoundAudioIn2",
                                              {{"SamplesPerSec", c.rate}, {"BlockSamples", c.blockSamples},
                                               {c.pair ? "OutBufferTime" : "InBufferTime", c.bufferMs}}, false);
        ASSERT_EQ(io->SetProperty(c.pair ? "UseDuplexBuffer" : "Channels", 1, nullptr), kOk);
        EXPECT_EQ(io->Build(), c.bytes != 0 ? kOk : kErrPlatform);
        EXPECT_EQ(c.bytes != 0 ? sound.audio.LastBufferBytes() : 0u, c.bytes);
    }
}

// Each captured sample is its frame's number in the stream (mod 2^16).  A reader that keeps up
// gets every block once in order; after a pause of up to N blocks it catches up in order; after
// a longer one it gets the newest complete block (the one before the read cursor's) and goes on
// from there.  N = 1 works too.
TEST(DSoundIn2, BlocksComeInOrderAndAReaderFarBehindSkipsToTheNewest) {
    constexpr int32_t kBlock = 160;  // 10 ms
    struct Case {
        int32_t bufferMs;  // N = bufferMs / 10
        uint32_t pauseMs;
        bool skips;
    };
    for (const Case& c : {Case{100, 50, false}, Case{100, 300, true}, Case{10, 30, true}, Case{200, 150, false}}) {
        SCOPED_TRACE(testing::Message() << c.bufferMs << " ms, pause " << c.pauseMs);
        test::VirtualSound sound;
        sound.audio.SetScriptedInput([](uint64_t at, uint8_t* target, uint32_t bytes) {
            for (uint64_t b = at; b < at + bytes; ++b) target[b - at] = static_cast<uint8_t>(b % 2 ? b / 512 : b / 2);
        });
        test::ComponentPtr in = Capture(kRate, 1, kBlock, c.bufferMs);
        ASSERT_EQ(in->Build(), kOk);
        const uint32_t startMs = sound.platform.time.NowMs();
        ASSERT_EQ(in->Start(), kOk);
        std::vector<uint16_t> block(kBlock);
        auto read = [&]() -> uint16_t {
            EXPECT_EQ(in->GetData(block.data(), kBlock * 2), kBlock * 2);
            for (int i = 1; i < kBlock; ++i) EXPECT_EQ(uint16_t(block[i] - block[0]), i) << "a torn block";
            return block[0];
        };
        // The first notification comes as the cursor leaves position 0: the newest complete
        // block is then the ring's last, not captured yet (silence); block 0 follows.
        ASSERT_EQ(in->GetData(block.data(), kBlock * 2), kBlock * 2);
        EXPECT_EQ(std::count(block.begin(), block.end(), 0), kBlock);
        uint16_t last = read();
        ASSERT_EQ(last, 0);
        for (int i = 0; i < 40; ++i) ASSERT_EQ(uint16_t(read() - last), kBlock * (i + 1)) << "block " << i;
        last = static_cast<uint16_t>(last + 40 * kBlock);
        sound.platform.time.SleepMs(c.pauseMs);
        const uint32_t capturedFrames = (sound.platform.time.NowMs() - startMs) * (kRate / 1000);
        const uint16_t after = read();
        EXPECT_EQ(after, c.skips ? uint16_t((capturedFrames / kBlock - 1) * kBlock) : uint16_t(last + kBlock));
        for (int i = 1; i <= 5; ++i) EXPECT_EQ(uint16_t(read() - after), kBlock * i);
    }
}

// Cursors that stop: the read waits 30 s of virtual time (milliseconds of real time) and fails
// with the platform code; the trace says why; the capture goes on once the device moves.  A
// failing device call is kept as "DXErrorCode"; "DXErrorString" copies its text as strncpy
// does ("n/a" for a code without one, nothing for no code; no NUL when the text fills `arg`).
TEST(DSoundIn2, AStalledDeviceFailsTheReadAfterThirtySeconds) {
    struct Case {
        bool reportStopped;  // both cursors at one place: the poll itself sees the stall
        const char* trace;
        uint32_t maxMs;      // a poll every 6 ms for 5 ms of standing still
        int32_t startCode;   // then a Start that fails with this
        std::string text;    // and the first five bytes of its text in eight
    };
    for (const Case& c : {Case{false, "GetData short 80000005\n", 30100, pa::kDsErrBufferLost, "The bxxx"},
                          Case{true, "GetData short 80000007\n", 36100, int32_t(0x88780999u), std::string("n/a\0\0xxx", 8)}}) {
        test::VirtualSound sound;
        test::CapturedTraces traces;
        test::ComponentPtr in = Capture(kRate, 1, 160, 100);
        auto errorString = [&](int32_t bytes) {
            char text[8];
            std::memset(text, 'x', sizeof text);
            EXPECT_EQ(in->GetProperty("DXErrorString", bytes, text), bytes > 0 ? kOk : kErrInvalidArg);
            return std::string(text, sizeof text);
        };
        EXPECT_EQ(errorString(8), std::string(8, '\0'));
        errorString(0);
        ASSERT_EQ(in->Build(), kOk);
        ASSERT_EQ(in->Start(), kOk);
        std::vector<int16_t> block(160);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(in->GetData(block.data(), 320), 320);
        sound.audio.SetCursorsStalled(true);
        sound.audio.SetCursorsReportStopped(c.reportStopped);
        const uint32_t from = sound.platform.time.NowMs();
        EXPECT_EQ(in->GetData(block.data(), 320), kErrPlatform);
        EXPECT_GE(sound.platform.time.NowMs() - from, CDSoundAudioIn2::kStallMs);
        EXPECT_LE(sound.platform.time.NowMs() - from, c.maxMs);
        EXPECT_EQ(traces.texts().back(), std::string("CDSoundAudioIn2::") + c.trace);
        sound.audio.SetCursorsStalled(false);
        sound.audio.SetCursorsReportStopped(false);
        EXPECT_EQ(in->GetData(block.data(), 320), 320);
        ASSERT_EQ(in->Stop(), kOk);
        sound.audio.FailNext(Op::kStart, c.startCode);
        EXPECT_EQ(in->Start(), kErrPlatform);
        EXPECT_EQ(test::Read(in.get(), "DXErrorCode"), c.startCode);
        EXPECT_EQ(errorString(5), c.text);
    }
}

// Stop on a second thread while a reader waits in GetData: the reader wakes at once, with no
// virtual time passing, and fails with the platform code; Stop returns 0 after its 100 ms.
TEST(DSoundIn2, StopFromASecondThreadWakesABlockedReader) {
    test::VirtualSound sound(/*autoAdvance=*/false);
    test::ComponentPtr in = Capture(kRate, 1, 160, 100);
    ASSERT_EQ(in->Build(), kOk);
    ASSERT_EQ(in->Start(), kOk);
    const uint32_t startMs = sound.platform.time.NowMs();
    std::atomic<int32_t> got{0}, stopped{1};
    std::thread reader([&] {
        std::vector<int16_t> block(160);
        got = in->GetData(block.data(), 320);
    });
    while (sound.platform.time.BlockedWaiters() == 0) std::this_thread::yield();
    std::thread stopper([&] { stopped = in->Stop(); });
    reader.join();
    EXPECT_EQ(got.load(), kErrPlatform);
    EXPECT_EQ(sound.platform.time.NowMs(), startMs);
    while (sound.platform.time.BlockedWaiters() == 0) std::this_thread::yield();  // Stop's grace
    sound.platform.time.Advance(100);
    stopper.join();
    EXPECT_EQ(stopped.load(), kOk);
}

// ---------------------------------------------------------------------------------------------
// DSoundAudioOut2

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
        sound.TapPlayback(&played);
        test::ComponentPtr io = test::Running(
            "DSoundAudioOut2", {{"BlockSamples", kSamples}, {"OutBufferTime", 60}, {"PrimaryBuffer", primary}, {"RefBuffer", 1}}, false);
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
        const uint32_t playPos = uint32_t(test::Read(io.get(), "PlayPos"));
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
        const size_t ring = primary ? 1600 : size_t(test::Read(io.get(), "RefBufferLen")) / 2;
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
        test::ComponentPtr io = test::Running("DSoundAudioOut2", {{"BlockSamples", 320}, {"OutBufferTime", 60}}, false);
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(test::Read(io.get(), "DriverEmulation"), row.emulated ? 1 : 0);
        ASSERT_EQ(io->Start(), kOk);
        std::vector<int32_t> limits;
        while (sound.platform.time.NowMs() < 15000) {
            sound.platform.time.SleepMs(row.pauseMs);
            ASSERT_EQ(PutBlock(io.get(), 1, 320), 640);
            const int32_t limit = test::Read(io.get(), "InternalLimitSize");
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
        test::ComponentPtr io = test::Running("DSoundAudioOut2", {{"BlockSamples", kSamples}, {"OutBufferTime", 60}}, false);
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
        EXPECT_EQ(test::Read(io.get(), "DXErrorCodeSub"), row.step) << what;
        EXPECT_EQ(test::Read(io.get(), "DXErrorCode"), got == kErrPlatform ? kLost : 0) << what;
        char text[80] = {};
        ASSERT_EQ(io->GetProperty("DXErrorString", sizeof text, text), kOk);
        EXPECT_EQ(std::string(text), got == kErrPlatform ? "The buffer memory has been lost and must be restored." : "");
        // 30 s of virtual time, in milliseconds of real time.
        EXPECT_TRUE(got != kErrStalled || sound.platform.time.NowMs() - before == 30000u) << what;
        if (row.at != 'L') continue;
        ASSERT_EQ(io->Stop(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        EXPECT_EQ(PutBlock(io.get(), 1), 320);
    }
}

// ---------------------------------------------------------------------------------------------
// DSoundAudioIn2 stopped by a second thread while a reader streams, the clock advancing on its
// own: wherever the reader is (waiting for its first block, between blocks, deep in a run) it
// leaves GetData with a failure, Stop succeeds, and the component captures again after Start.
// `./run tsan` runs this with ThreadSanitizer.

TEST(DSoundGen2Threads, StopFromASecondThreadEndsAStreamingReaderAndStartResumes) {
    constexpr int32_t kBlockSamples = 320, kBlockBytes = kBlockSamples * 2;
    for (const int blocksBeforeStop : {0, 1, 3, 40}) {
        SCOPED_TRACE(blocksBeforeStop);
        test::VirtualSound sound;  // the clock jumps to whatever a thread waits for
        test::ComponentPtr in = Capture(kRate, 1, kBlockSamples, 60);
        ASSERT_EQ(in->Build(), kOk);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(in->Start(), kOk);
            std::atomic<int> read{0};
            std::atomic<int32_t> ended{0}, after{0};
            std::thread reader([&] {
                std::vector<int16_t> block(kBlockSamples);
                int32_t r;
                while ((r = in->GetData(block.data(), kBlockBytes)) == kBlockBytes) read.fetch_add(1);
                ended = r;
                after = in->GetData(block.data(), kBlockBytes);
            });
            while (read.load() < blocksBeforeStop) std::this_thread::yield();
            EXPECT_EQ(in->Stop(), kOk);
            reader.join();
            // Caught inside GetData: the platform code; arriving after Stop began: a wrong state.
            EXPECT_TRUE(ended == kErrPlatform || ended == kErrState) << std::hex << ended;
            EXPECT_EQ(after.load(), kErrState);
            EXPECT_GE(read.load(), blocksBeforeStop);
        }
    }
}

}  // namespace
}  // namespace zelmar
