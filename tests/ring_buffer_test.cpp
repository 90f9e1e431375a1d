#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "streams/RingBufferAudioInOut.h"
#include "support/AllocationCounter.h"
#include "support/FuzzReplay.h"
#include "support/TestPlatform.h"
#define LLVMFuzzerTestOneInput RingBufferModelCheck
#include "../fuzz/ring_buffer_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput

namespace zelmar {
namespace {

using Ring = CRingBufferAudioInOut::CRingBufferShort4;
constexpr double kPi = 3.14159265358979323846;

// Voiced-speech-like test signal at 32 kHz: five harmonics of a pitch gliding between 80 and
// 160 Hz, under a syllable-rate envelope.
std::vector<int16_t> SpeechLike(std::size_t count, double startSec = 0.0) {
    std::vector<int16_t> out(count);
    double phase = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = startSec + static_cast<double>(i) / 32000.0;
        const double pitchHz = 120.0 + 40.0 * std::sin(2.0 * kPi * 0.7 * t);
        phase += 2.0 * kPi * pitchHz / 32000.0;
        double value = 0.0;
        for (int h = 1; h <= 5; ++h) value += std::sin(h * phase) / h;
        const double envelope = 0.25 + 0.75 * std::fabs(std::sin(2.0 * kPi * 2.0 * t));
        out[i] = static_cast<int16_t>(std::lround(9000.0 * envelope * value));
    }
    return out;
}

// A ring for `targetMs` that has seen its consumer, so Put stores.
void Ready(Ring& ring, uint32_t targetMs = 0) {
    int16_t none[1];
    ring.Init(targetMs, 64000);
    ring.Get(none, 0);
}

std::vector<int16_t> Drain(Ring& ring) {
    std::vector<int16_t> out(static_cast<std::size_t>(ring.fill()));
    ring.Get(out.data(), static_cast<uint32_t>(out.size() * 2));
    return out;
}

// Straight computations of the pitch-synchronous rewrites on a plain array (no ring): the
// buffered audio is x[start .. start + fill), with history before `start`.
int32_t ReferenceLag(const std::vector<int16_t>& x, std::size_t start) {
    int32_t best = 128;
    long bestSum = -1;
    for (int32_t lag = 128; lag <= 500; lag += 2) {
        long sum = 0;
        for (std::size_t k = 0; k < 500; ++k) sum += std::labs(long{x[start + k + lag]} - x[start + k]);
        if (bestSum < 0 || sum < bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

int16_t ReferenceBlend(int16_t from, int16_t to, int32_t k, int32_t lag) {
    const float w = static_cast<float>(k) / static_cast<float>(lag);
    return static_cast<int16_t>(static_cast<int32_t>(from * (1.0f - w) + to * w));
}

std::vector<int16_t> ReferenceCompress(std::vector<int16_t> x, std::size_t start, int32_t fill, float r) {
    std::vector<int16_t> out;
    std::size_t src = start;
    int32_t remaining = fill;
    while (remaining > 1000) {
        const int32_t lag = ReferenceLag(x, src);
        for (int32_t k = 0; k < lag; ++k) x[src + lag + k] = ReferenceBlend(x[src + k], x[src + lag + k], k, lag);
        src += lag;
        remaining -= lag;
        const int32_t c = std::min(static_cast<int32_t>(static_cast<float>(lag) * r / (1.0f - r)), remaining);
        out.insert(out.end(), x.begin() + src, x.begin() + src + c);
        src += c;
        remaining -= c;
    }
    out.insert(out.end(), x.begin() + src, x.begin() + src + remaining);
    return out;
}

std::vector<int16_t> ReferenceExpand(const std::vector<int16_t>& x, std::size_t start, int32_t fill, float r) {
    std::vector<int16_t> out;
    const std::size_t outSize = static_cast<std::size_t>(static_cast<float>(fill) * r) + 1000;
    std::size_t pos = start;
    int32_t remaining = fill;
    int32_t lag = 500;
    do {
        if (remaining > 1000) lag = ReferenceLag(x, pos);
        for (int32_t k = 0; k < lag; ++k) out.push_back(ReferenceBlend(x[pos + k], x[pos - lag + k], k, lag));
        const int32_t c = std::min(static_cast<int32_t>(static_cast<float>(lag) / (r - 1.0f)), remaining);
        if (out.size() + c > outSize) {
            remaining = 0;
            break;
        }
        out.insert(out.end(), x.begin() + pos, x.begin() + pos + c);
        pos += c;
        remaining -= c;
    } while (lag < remaining);
    out.insert(out.end(), x.begin() + pos, x.begin() + pos + remaining);
    return out;
}

// A ring whose next `fill` samples are signal[history ..) and whose read index sits `beforeWrap`
// samples before the end of the store, so the rewrite crosses the wrap.
void LoadAcrossWrap(Ring& ring, const std::vector<int16_t>& signal, std::size_t history, uint32_t beforeWrap) {
    Ready(ring);
    const uint32_t lead = Ring::kStorageSamples - beforeWrap;  // samples to pass through first
    std::vector<int16_t> first(lead, 0);
    std::copy(signal.begin(), signal.begin() + history, first.end() - history);
    ring.Put(first.data(), lead * 2);
    std::vector<int16_t> discard(lead);
    ring.Get(discard.data(), lead * 2);
    ring.Put(signal.data() + history, static_cast<uint32_t>((signal.size() - history) * 2));
}

TEST(RingBufferShort4, CompressAndExpandEqualStraightComputationAcrossTheWrap) {
    const std::size_t history = 600;
    const std::vector<int16_t> signal = SpeechLike(history + 40000);
    for (float r : {0.8f, 0.87f, 0.95f}) {
        Ring ring;
        LoadAcrossWrap(ring, signal, history, 7000);
        ring.Compress(r);
        EXPECT_EQ(ring.compressions(), 1u);
        EXPECT_EQ(Drain(ring), ReferenceCompress(signal, history, 40000, r)) << "ratio " << r;
    }
    for (float r : {1.1f, 1.4f, 1.5f}) {
        const std::vector<int16_t> shorter(signal.begin(), signal.begin() + history + 30000);
        Ring ring;
        LoadAcrossWrap(ring, shorter, history, 7000);
        ring.Expand(r);
        EXPECT_EQ(ring.expansions(), 1u);
        EXPECT_EQ(Drain(ring), ReferenceExpand(shorter, history, 30000, r)) << "ratio " << r;
    }
    // An empty ring returns at once; a fill of 1 000 samples has no period to rewrite: counted,
    // left as it was.
    Ring small;
    Ready(small, 100);
    small.Expand(2.0f), small.Compress(0.8f);
    EXPECT_EQ(small.expansions() + small.compressions(), 0u);
    small.Put(signal.data(), 2000);
    small.Expand(2.0f), small.Compress(0.8f);
    EXPECT_EQ(small.expansions() + small.compressions(), 2u);  // each counts at most once
    EXPECT_EQ(Drain(small), std::vector<int16_t>(signal.begin(), signal.begin() + 1000));
}

// ---------------------------------------------------------------------------------------------
// The component

struct Running {
    explicit Running(int32_t bufferTimeMs, int32_t bytesPerSec = 64000)
        : io(test::Running("RingBufferAudioInOut", {{"AvgBytesPerSec", bytesPerSec}, {"BufferTime", bufferTimeMs}})) {}
    uint32_t Get(const char* name) { return uint32_t(test::Read(io.get(), name)); }
    // Expansions are counted only in the statistics a verbose ring reports when destroyed.
    uint32_t ExpansionsWhenDestroyed() {
        test::CapturedTraces traces;
        io->SetProperty("Verbose", 1, nullptr);
        io.reset();
        unsigned expansions = 0, compressions = 0;
        EXPECT_EQ(traces.texts().size(), 1u);
        if (!traces.texts().empty()) {
            EXPECT_EQ(std::sscanf(traces.texts()[0].c_str(), "RingBufferStats exp=%u, comp=%u", &expansions, &compressions), 2);
        }
        return expansions;
    }
    test::ComponentPtr io;
};

// Puts and gets of any size, muting, empty puts, the lifecycle (Build refused without a rate)
// and capacities from one block to the whole store, against the model the fuzz target keeps:
// samples out once and in order, silence before anything was stored and for what is missing,
// overflow dropping exactly the oldest, underflows counted unless muted, time-scaling when due,
// and every counter.  Only a verbose ring reports when destroyed.
TEST(RingBuffer, EveryCorpusInputAgreesWithTheModel) {
    EXPECT_GT(test::ReplayCorpus("ring_buffer_fuzzer", RingBufferModelCheck), 100u);
    test::CapturedTraces traces;
    test::Make("RingBufferAudioInOut").reset();
    EXPECT_TRUE(traces.texts().empty());
}

// A producer and a consumer on their own clocks, in virtual time: blocks of 20 ms of the
// producer's clock arrive with jitter, the consumer takes 20 ms of its own clock.
struct ClockRun {
    uint32_t maxFillAfterWarmUp = 0;
    uint64_t gets = 0;
    uint32_t underflows = 0, compressions = 0, expansions = 0;
    uint64_t allocations = 0;  // in the data calls, compressions and expansions included
};

ClockRun RunClocks(double producerRate, double consumerRate, double seconds, int32_t bufferTimeMs, uint32_t seed) {
    Running ring(bufferTimeMs);
    const uint32_t block = 640;
    const std::vector<int16_t> speech = SpeechLike(32000 * 3);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitterSec(0.0, 0.015);
    double nextPut = 0.0, nextGet = 0.0;
    uint64_t puts = 0;
    ClockRun run;
    std::vector<int16_t> got(block);
    test::ScopedAllocationCount allocations;
    while (std::min(nextPut, nextGet) < seconds) {
        if (nextPut <= nextGet) {
            const std::size_t at = (puts * block) % (speech.size() - block);
            EXPECT_EQ(ring.io->PutData(speech.data() + at, block * 2), static_cast<int32_t>(block * 2));
            ++puts;
            nextPut = puts * (block / producerRate) + jitterSec(random);
        } else {
            EXPECT_EQ(ring.io->GetData(got.data(), block * 2), static_cast<int32_t>(block * 2));
            ++run.gets;
            nextGet = run.gets * (block / consumerRate);
            if (nextGet > 5.0) run.maxFillAfterWarmUp = std::max(run.maxFillAfterWarmUp, ring.Get("FillBytes") / 2);
        }
    }
    run.allocations = allocations.count();
    run.underflows = ring.Get("UnderFlow");
    run.compressions = ring.Get("OverFlow");
    run.expansions = ring.ExpansionsWhenDestroyed();
    return run;
}

// Rates in samples per second for ten minutes (one for the floods); 60 000 samples of drift
// without compression or expansion would run the fill away or underrun 94 times.
TEST(RingBuffer, DriftingClocksAreHeldNearTheTargetByCompressionAndExpansion) {
    struct Row { double producer, consumer, seconds; uint32_t maxUnderflows, minCompressions, minExpansions, maxFill; };
    const Row rows[] = {
        {32000, 31900, 600, 0, 5, 0, (100 + 40 + 20 + 15) * 32u},  // target, a second's drift, block, jitter
        {31900, 32000, 600, 10, 0, 5, 200 * 32u},
        {64000, 32000, 60, ~0u, 11, 0, 64000u},
    };
    uint32_t seed = 1;
    for (const Row& row : rows) {
        const ClockRun run = RunClocks(row.producer, row.consumer, row.seconds, 100, seed++);
        EXPECT_LE(run.underflows, row.maxUnderflows) << row.producer;
        EXPECT_GE(run.compressions, row.minCompressions) << row.producer;
        EXPECT_GE(run.expansions, row.minExpansions) << row.producer;
        EXPECT_LE(run.maxFillAfterWarmUp, row.maxFill) << row.producer;
        EXPECT_EQ(run.allocations, 0u) << row.producer;
    }
    EXPECT_GT(RunClocks(16000, 32000, 60, 100, seed).underflows, 100u);  // a consumer twice as fast
}

}  // namespace
}  // namespace zelmar
