// CLevelGate: the pre-processor's automatic silence gate on frame levels.
//
// Each 10 ms frame's mean magnitude (in 16-bit units) is compared with an adaptive threshold;
// openFrames consecutive loud frames open the gate and closeFrames consecutive quiet ones close
// it.  Every windowFrames frames the level statistics of the window update a noise estimate,
// and while the noise estimate exceeds the window's deviation (a steady background) the
// threshold moves a tenth of the way toward the loudest level plus half its distance from the
// mean.  The threshold never falls below 100 (about -50 dBFS mean magnitude).
#pragma once

#include <cstdint>

namespace zelmar {

class CLevelGate {
public:
    // Running mean, deviation, minimum and maximum (Welford's update).
    class CRunningStats {
    public:
        void Add(float x);
        float Deviation() const;
        void Clear();

        float mean = 0.0f;
        float m2 = 0.0f;
        int count = 0;
        float max = 0.0f;
        float min = 2147483648.0f;
    };

    static constexpr int kDefaultOpenFrames = 2;
    static constexpr int kDefaultCloseFrames = 100;
    static constexpr int kWindowFrames = 100;

    CLevelGate() { Restart(); }

    // Forgets everything learnt: noise 5, threshold 0 (learnt from the next frame), closed.
    void Restart();
    // One frame; returns true when the frame counts as silent.
    bool Update(float meanNormalised);

    bool IsOpen() const { return open_; }
    int Threshold() const { return threshold_; }
    float Noise() const { return noise_; }
    void SetCloseFrames(int frames) { closeFrames_ = frames; }

private:
    void ClearWindow();

    int openFrames_ = kDefaultOpenFrames;
    int closeFrames_ = kDefaultCloseFrames;
    int windowFrames_ = kWindowFrames;
    float noise_ = 5.0f;
    bool open_ = false;
    float lastDeviation_ = 5.0f;  // recorded for inspection only
    float lastMinimum_ = 0.0f;
    int runFrames_ = 0;
    int threshold_ = 0;
    int minAbove_ = 2147483647;
    int maxAbove_ = 0;
    int maxBelow_ = 0;
    int countAbove_ = 0;
    int countBelow_ = 0;
    CRunningStats stats_;
};

}  // namespace zelmar
