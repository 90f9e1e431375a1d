// "DSoundAudioIn2" on the virtual device in virtual time: buffer size, block order and
// skipping, stalls, the self-restart before "TotalIn" wraps, failure texts, a second thread's
// Stop.  Effects: dsound_test.cpp; on a real server: dsound_pulse_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devices/DSoundAudioIn2.h"
#include "framework/Result.h"
#include "support/Devices.h"
#include "support/TestPlatform.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr int32_t kRate = 16000;

test::ComponentPtr Capture(int32_t rate, int32_t channels, int32_t blockSamples, int32_t bufferMs) {
    return test::MakeWith("DSoundAudioIn2", {{"SamplesPerSec", rate}, {"Channels", channels}, {"BlockSamples", blockSamples},
                                             {"InBufferTime", bufferMs}});
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
        test::ComponentPtr io = test::MakeWith(c.pair ? "DSoundAudioInOut" : "DSoundAudioIn2",
                                               {{"SamplesPerSec", c.rate}, {"BlockSamples", c.blockSamples},
                                                {c.pair ? "OutBufferTime" : "InBufferTime", c.bufferMs}});
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
// with the platform code; the trace says why; the capture goes on once the device moves.
TEST(DSoundIn2, AStalledDeviceFailsTheReadAfterThirtySeconds) {
    struct Case {
        bool reportStopped;  // both cursors at one place: the poll itself sees the stall
        const char* trace;
        uint32_t maxMs;      // a poll every 6 ms for 5 ms of standing still
    };
    for (const Case& c : {Case{false, "GetData short 80000005\n", 30100}, Case{true, "GetData short 80000007\n", 36100}}) {
        test::VirtualSound sound;
        test::CapturedTraces traces;
        test::ComponentPtr in = Capture(kRate, 1, 160, 100);
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
    }
}

// 96 kHz stereo in 100 ms blocks: 3.456e9 bytes are 2.5 hours of virtual capture.  The block
// read once "TotalIn" exceeds 3456000000 (the 90002nd) restarts the component, which counts
// from that block again and keeps capturing.
TEST(DSoundIn2, RestartsItselfBeforeTheByteCounterWraps) {
    constexpr uint32_t kBlockBytes = 9600 * 4;
    constexpr uint32_t kQuietBlocks = 3456000000u / kBlockBytes + 1;  // then "TotalIn" first exceeds the limit
    test::VirtualSound sound;
    test::CapturedTraces traces;
    test::ComponentPtr in = Capture(96000, 2, 9600, 200);
    ASSERT_EQ(in->Build(), kOk);
    ASSERT_EQ(in->Start(), kOk);
    std::vector<uint8_t> blocks(kBlockBytes * 10);
    uint32_t total = 0;
    for (uint32_t read = 0, now = 10; read < kQuietBlocks; read += now, now = read + 10 <= kQuietBlocks ? 10 : 1) {
        ASSERT_EQ(in->GetData(blocks.data(), int32_t(now * kBlockBytes)), int32_t(kBlockBytes)) << read;
    }
    ASSERT_EQ(in->GetProperty("TotalIn", 0, &total), kOk);
    ASSERT_EQ(total, kQuietBlocks * kBlockBytes);
    ASSERT_TRUE(traces.texts().empty());
    for (uint32_t expected : {kBlockBytes, 2 * kBlockBytes}) {
        ASSERT_EQ(in->GetData(blocks.data(), kBlockBytes), int32_t(kBlockBytes));
        ASSERT_EQ(in->GetProperty("TotalIn", 0, &total), kOk);
        EXPECT_EQ(total, expected);
    }
    ASSERT_EQ(traces.texts().size(), 1u);
    EXPECT_EQ(traces.texts()[0], "Zelmar, CDSoundAudioIn2, Reset, count=1, size=" +
                                     std::to_string(uint64_t{kQuietBlocks} * kBlockBytes) + " \n");
}

// A failing device call is kept as "DXErrorCode"; "DXErrorString" copies its text as strncpy
// does ("n/a" for a code without one, nothing for no code; no NUL when the text fills `arg`).
TEST(DSoundIn2, DeviceFailuresAreKeptWithTheirText) {
    test::VirtualSound sound;
    test::ComponentPtr in = test::Make("DSoundAudioIn2");
    char text[8];
    auto errorString = [&](int32_t bytes) {
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(in->GetProperty("DXErrorString", bytes, text), kOk);
        return std::string(text, sizeof text);
    };
    EXPECT_EQ(errorString(8), std::string(8, '\0'));
    EXPECT_EQ(in->GetProperty("DXErrorString", 0, text), kErrInvalidArg);
    ASSERT_EQ(in->Build(), kOk);
    for (const int32_t code : {pa::kDsErrBufferLost, static_cast<int32_t>(0x88780999u)}) {
        sound.audio.FailNext(pa::VirtualAudioService::Operation::kStart, code);
        EXPECT_EQ(in->Start(), kErrPlatform);
        int32_t kept = 0;
        ASSERT_EQ(in->GetProperty("DXErrorCode", 0, &kept), kOk);
        EXPECT_EQ(kept, code);
        EXPECT_EQ(errorString(5), code == pa::kDsErrBufferLost ? "The bxxx" : std::string("n/a\0\0xxx", 8));
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

}  // namespace
}  // namespace zelmar
