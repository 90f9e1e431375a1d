// Drives "RingBufferAudioInOut" with PutData and GetData of any size, with "BufferTime",
// "Mute", "Verbose" and the lifecycle in any order, and checks it against a model of the ring
// kept here, sample by sample:
//
//   - nothing is stored before the first GetData; until something was stored GetData gives
//     silence; PutData and GetData always answer with the byte count they were given;
//   - the ring holds at most its capacity (two seconds of "AvgBytesPerSec", at most the
//     65 536-sample store): a block that does not fit the free space first drops as many of
//     the oldest samples (a block longer than the ring keeps its newest samples);
//   - GetData hands out the oldest samples first, pads what is missing with silence and counts
//     an underflow unless the ring is muted (a request longer than the 65 536-sample store is
//     served a store's worth at a time);
//   - the fill is time-scaled only where the ring's rules say so: compressed when it stayed
//     above "BufferTime" for more than a second of puts, expanded when it fell to half the
//     target, each held off until as many samples as it left were read.
//
// Samples the model knows must come out exactly, in order, once; after a time-scaling the
// model no longer knows the values of the samples it rewrote (a cross-fade makes new ones),
// only their number, which it takes from "FillBytes" and checks against the bounds of a
// compression or expansion.  "FillBytes", "OverFlow", "UnderFlow", "TotalIn", "TotalOut" and
// "BufferSize" must match the model after every call, and nothing past a request is written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include <zelmar/zelmar.h>

#include "FuzzInput.h"

namespace {

using fuzz::Check, fuzz::kErrArg, fuzz::kErrState, fuzz::Read;

constexpr int32_t kStoreSamples = 65536;
constexpr int32_t kSamplesPerMs = 32;
constexpr int32_t kMaxRequest = 6 * kStoreSamples + 1;  // up to three stores' worth per call
constexpr int32_t kGuard = 16;
constexpr uint8_t kGuardByte = 0x5A;
constexpr int32_t kUnknown = -100000;  // a sample whose value a time-scaling made
constexpr int kMaxOperations = 128;


struct Model {
    enum State { kCreated, kBuilt, kRunning } state = kCreated;
    int32_t bytesPerSec = 0;
    int32_t targetMs = 0;
    int64_t capacity = 0;
    std::deque<int32_t> held;  // oldest first
    bool consumerSeen = false;
    bool stored = false;  // some PutData stored samples
    bool muted = true;
    uint32_t overTargetRun = 0;
    int64_t compressHoldOff = 0;
    int64_t expandHoldOff = 0;
    uint32_t compressions = 0;
    uint32_t underflows = 0;
    uint32_t totalIn = 0;
    uint32_t totalOut = 0;
    // Set when the model can no longer follow the ring (an expansion inside a request longer
    // than the store): from then on only the answers, counters and bounds are checked.
    bool lost = false;

    int64_t Fill() const { return static_cast<int64_t>(held.size()); }
    // Half the target less one millisecond, in samples; a target under 2 ms never expands.
    int64_t LowWater() const { return targetMs < 2 ? 0 : int64_t{(targetMs - 2) / 2} * kSamplesPerMs; }
    void Forget(int64_t samples) { held.assign(static_cast<size_t>(samples), kUnknown); }
};

// One PutData of `count` samples taken from `samples` against the model and the component.
void Put(IAudioIO* ring, Model& m, const int16_t* samples, int32_t bytes) {
    const int32_t answer = ring->PutData(samples, bytes);
    if (m.state != Model::kRunning) {
        Check(answer == kErrState);
        return;
    }
    Check(answer == bytes);
    m.totalIn += static_cast<uint32_t>(bytes);
    if (!m.consumerSeen || m.lost) return;
    if (samples == nullptr) {  // an empty block with no buffer empties the ring
        m.held.clear();
        return;
    }
    m.stored = true;
    m.muted = false;
    int64_t count = bytes / 2;
    int64_t skipped = 0;
    if (count > m.capacity) {
        skipped = count - m.capacity;
        count = m.capacity;
    }
    if (m.capacity - m.Fill() < count) {
        const int64_t dropped = count < m.Fill() ? count : m.Fill();
        m.held.erase(m.held.begin(), m.held.begin() + dropped);
    }
    bool compressed = false;
    const int64_t before = m.Fill();
    if (before * 1000 / 32000 > m.targetMs) {
        ++m.overTargetRun;
        if (uint64_t{m.overTargetRun} * static_cast<uint64_t>(count) * 1000 / 32000 > 1000 && m.compressHoldOff <= 0) {
            ++m.compressions;
            compressed = before > 1000;  // a shorter fill has no period to drop
            m.compressHoldOff = before;
            m.overTargetRun = 0;
        }
    } else {
        m.overTargetRun = 0;
    }
    if (compressed) {
        // At most the ratio's share of the fill and what is too short to rewrite: 0.8, or
        // target / fill when the fill is less than 80 ms above the target.
        const int64_t after = static_cast<int64_t>(Read(ring, "FillBytes") / 2) - count, fillMs = before / kSamplesPerMs;
        const double ratio = fillMs - m.targetMs < 80 && m.targetMs > fillMs * 0.8 ? double(m.targetMs) / fillMs : 0.8;
        Check(after <= before && after >= before * 3 / 4 - 500 && after <= ratio * before + 1000);
        m.Forget(after);
        m.compressHoldOff = after;
    }
    for (int64_t i = 0; i < count; ++i) m.held.push_back(samples[skipped + i]);
}

void Get(IAudioIO* ring, Model& m, uint8_t* buffer, int32_t bytes) {
    std::memset(buffer, kGuardByte, static_cast<size_t>(bytes) + kGuard);
    const int32_t answer = ring->GetData(buffer, bytes);
    if (m.state != Model::kRunning) {
        Check(answer == kErrState);
        return;
    }
    Check(answer == bytes);
    m.totalOut += static_cast<uint32_t>(bytes);
    m.consumerSeen = true;
    for (int32_t i = bytes; i < bytes + kGuard; ++i) Check(buffer[i] == kGuardByte);
    if (!m.stored) {  // nothing was ever stored: silence, every byte of it
        for (int32_t i = 0; i < bytes; ++i) Check(buffer[i] == 0);
        return;
    }
    if (bytes % 2 == 1) Check(buffer[bytes - 1] == kGuardByte);  // no half sample written
    if (m.lost) return;
    // A request longer than the store is served a store's worth at a time, each piece
    // deciding on its own whether to expand and whether it underflows.
    const int64_t total = bytes / 2;
    for (int64_t done = 0; done < total;) {
        const int64_t count = total - done < kStoreSamples ? total - done : kStoreSamples;
        const bool last = done + count == total;
        const int64_t before = m.Fill();
        bool expanded = false;
        if (!m.muted && before <= m.LowWater() && m.expandHoldOff <= 0 && before > 1000) {
            if (!last) {  // what an expansion before the last piece made cannot be told apart
                m.lost = true;
                return;
            }
            // The model learns the expanded length afterwards: from the fill when the request
            // was covered, otherwise only that it fell short (and was padded).  A ring too
            // small for any longer version is left as it was.
            const uint32_t underflows = Read(ring, "UnderFlow");
            const int64_t fillAfter = Read(ring, "FillBytes") / 2;
            Check(underflows == m.underflows || underflows == m.underflows + 1);
            if (underflows == m.underflows) {
                // Longer by up to 1 280 samples' worth (at most double) unless the ring has no
                // room for that.
                const int64_t made = fillAfter + count;
                const double ratio = 1280.0 / before + 1 < 2 ? 1280.0 / before + 1 : 2;
                Check(made >= before && made <= ratio * before + 1000 && made <= m.capacity);
                Check(made > before || m.capacity < ratio * before + 1000);
                expanded = made != before;
                if (expanded) m.expandHoldOff = made - count;
            } else {
                Check(fillAfter == 0);
                m.underflows = underflows;
                m.expandHoldOff = 0;
                expanded = true;
            }
            if (expanded) m.Forget(fillAfter);
        }
        if (!expanded) {
            if (m.Fill() < count) {
                if (!m.muted) ++m.underflows;
                m.held.resize(static_cast<size_t>(count), 0);
            }
            for (int64_t i = done; i < done + count; ++i) {
                int16_t got;
                std::memcpy(&got, buffer + 2 * i, 2);
                const int32_t want = m.held.front();
                m.held.pop_front();
                if (want != kUnknown) Check(got == want);
            }
            if (m.expandHoldOff > 0) m.expandHoldOff -= count;
        }
        if (m.compressHoldOff > 0) m.compressHoldOff -= count;
        done += count;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    IAudioIO* ring = ZelmarCreateComponent("RingBufferAudioInOut");
    Check(ring != nullptr);
    Model m;
    // Made once: clearing this much per input would cost more than most inputs' own work.
    static std::vector<int16_t> samples(kStoreSamples + 200);
    static std::vector<uint8_t> out(kMaxRequest + kGuard);
    uint32_t next = 1;  // the stream's samples are all different from their neighbours

    // A rate first (rarely none), so most inputs reach the data calls.
    const uint32_t rate = in.Word();
    if (rate % 16 != 0) {
        // Anything; a ring a few blocks long, which blocks fill exactly; or a usual one.
        int32_t bytesPerSec = static_cast<int32_t>(rate);
        if (rate % 4 == 1) bytesPerSec = static_cast<int32_t>(320 * (1 + (rate >> 4) % 16));
        if (rate % 4 >= 2) bytesPerSec = static_cast<int32_t>(rate % 80000);
        Check(ring->SetProperty("AvgBytesPerSec", bytesPerSec, nullptr) == 0);
        m.bytesPerSec = bytesPerSec;
    }

    for (int op = 0; op < kMaxOperations && !in.Done(); ++op) {
        const uint8_t kind = in.Byte();
        switch (kind % 10) {
            case 0:
            case 1:
            case 2: {
                const uint32_t pick = in.Word();
                int32_t bytes = static_cast<int32_t>(pick % 16 == 0 ? (pick >> 4) % (2 * samples.size() + 1)
                                                                   : 640 * ((pick >> 2) % 8) + (pick >> 8) % 2);
                for (int32_t i = 0; i < bytes / 2; ++i) samples[i] = static_cast<int16_t>((next++ * 40503u) & 0xFFFF);
                Put(ring, m, samples.data(), bytes);
                break;
            }
            case 3:
            case 4:
            case 5: {
                const uint32_t pick = in.Word();
                const int32_t bytes = static_cast<int32_t>(pick % 16 == 0 ? (pick >> 4) % (kMaxRequest + 1)
                                                                         : 640 * ((pick >> 2) % 8) + (pick >> 8) % 2);
                Get(ring, m, out.data(), bytes);
                break;
            }
            case 6: {
                const uint8_t which = in.Byte() % 6;
                if (which == 0) {
                    const int32_t want = m.state != Model::kCreated ? kErrState : m.bytesPerSec <= 0 ? kErrArg : 0;
                    Check(ring->Build() == want);
                    if (want == 0) {
                        m.state = Model::kBuilt;
                        m.capacity = m.bytesPerSec < kStoreSamples ? m.bytesPerSec : kStoreSamples;
                    }
                } else if (which == 1) {
                    const bool ok = m.state == Model::kBuilt;
                    Check(ring->Start() == (ok ? 0 : kErrState));
                    if (ok) m.state = Model::kRunning;
                } else if (which == 2) {
                    const bool ok = m.state == Model::kRunning;
                    Check(ring->Stop() == (ok ? 0 : kErrState));
                    if (ok) m.state = Model::kBuilt;
                } else if (which == 3) {
                    Put(ring, m, nullptr, 0);
                } else if (which == 4) {
                    Check(ring->SetProperty("Mute", in.Byte(), nullptr) == 0);
                    m.muted = true;
                } else {
                    Check(ring->SetProperty("Verbose", in.Byte() % 2, nullptr) == 0);
                }
                break;
            }
            case 7: {
                const uint8_t pick = in.Byte();
                const int32_t ms =
                    pick % 8 == 0 ? static_cast<int32_t>(in.Word()) : static_cast<int32_t>(in.Byte()) * 2;
                const int32_t answer = ring->SetProperty("BufferTime", ms, nullptr);
                Check(answer == (ms < 0 ? kErrArg : 0));
                if (ms >= 0) m.targetMs = ms;
                break;
            }
            case 8: {  // what a host gets wrong
                const uint8_t which = in.Byte() % 3;
                const int32_t running = m.state == Model::kRunning ? kErrArg : kErrState;
                if (which == 0) Check(ring->PutData(samples.data(), -1 - in.Byte()) == running);
                if (which == 1) Check(ring->GetData(out.data(), -1 - in.Byte()) == running);
                if (which == 2) Check(ring->PutData(nullptr, 1 + in.Byte()) == running);
                break;
            }
            default: {
                const int32_t rateAnswer = ring->SetProperty("AvgBytesPerSec", 16000, nullptr);
                Check(rateAnswer == (m.state == Model::kCreated ? 0 : kErrState));
                if (m.state == Model::kCreated) m.bytesPerSec = 16000;
                break;
            }
        }
        Check(Read(ring, "FillBytes") <= static_cast<uint32_t>(m.capacity * 2));
        if (!m.lost) {
            Check(Read(ring, "FillBytes") == static_cast<uint32_t>(m.Fill() * 2));
            Check(Read(ring, "OverFlow") == m.compressions);
            Check(Read(ring, "UnderFlow") == m.underflows);
        }
        Check(Read(ring, "TotalIn") == m.totalIn);
        Check(Read(ring, "TotalOut") == m.totalOut);
        Check(Read(ring, "BufferSize") == static_cast<uint32_t>(m.capacity * 2));
        Check(Read(ring, "BufferTime") == static_cast<uint32_t>(m.targetMs));
    }
    ZelmarDisposeComponent(ring);
    return 0;
}
