// FrameQueue: a stream of 16-bit samples in pieces of any length through a processor that
// takes whole frames only, handing back as many samples as each piece brought, one frame later.
//
// Input waits in a staging buffer until frames are whole; the processor writes whole frames
// behind the output already queued, which starts as one frame of silence.  After every piece
// the input held plus the output queued is exactly one frame, so a piece of at most
// capacity - 1 frames always fits; longer pieces are split.  Buffers are made by Reset only.
//
// The engine's noise-suppression wrapper and the companion's noise reducer both queue this
// way: the wrapper to hand the library whole frames of its reported size, the reducer to hand
// its suppressor whole 10 ms frames at the stream's rate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zelmar::companion {

class FrameQueue {
public:
    // Empty input, one frame of silence queued; room for `capacityFrames` (at least 2) frames
    // on each side.
    void Reset(std::size_t frameSamples, std::size_t capacityFrames) {
        frame_ = frameSamples;
        capacity_ = std::max<std::size_t>(capacityFrames, 2);
        inStage_.assign(frame_ * capacity_, 0);
        outStage_.assign(frame_ * capacity_, 0);
        inFill_ = 0;
        outFill_ = frame_;
    }

    std::size_t FrameSamples() const { return frame_; }

    // Runs `count` samples from `in` to `out` (they may be the same buffer).  `process(const
    // int16_t* in, int16_t* out, size_t samples)` gets whole frames and returns a status; the
    // last negative status is returned, else 0.
    template <typename Process>
    int Run(const int16_t* in, int16_t* out, std::size_t count, Process process) {
        if (frame_ == 0) return -1;
        const std::size_t maxPiece = (capacity_ - 1) * frame_;
        int result = 0;
        for (std::size_t done = 0; done < count;) {
            const std::size_t piece = std::min(count - done, maxPiece);
            const int pieceResult = RunPiece(in + done, out + done, piece, process);
            if (pieceResult < 0) result = pieceResult;
            done += piece;
        }
        return result;
    }

private:
    template <typename Process>
    int RunPiece(const int16_t* in, int16_t* out, std::size_t count, Process& process) {
        // The piece is read before the same piece of output is written: in == out is safe.
        std::memcpy(inStage_.data() + inFill_, in, count * sizeof(int16_t));
        const std::size_t available = inFill_ + count;
        const std::size_t whole = available / frame_ * frame_;
        int result = 0;
        if (whole > 0) result = process(inStage_.data(), outStage_.data() + outFill_, whole);
        inFill_ = available - whole;
        std::memmove(inStage_.data(), inStage_.data() + whole, inFill_ * sizeof(int16_t));
        outFill_ += whole;
        std::memcpy(out, outStage_.data(), count * sizeof(int16_t));
        outFill_ -= count;
        std::memmove(outStage_.data(), outStage_.data() + count, outFill_ * sizeof(int16_t));
        return result;
    }

    std::vector<int16_t> inStage_, outStage_;
    std::size_t frame_ = 0, capacity_ = 2, inFill_ = 0, outFill_ = 0;
};

}  // namespace zelmar::companion
