// The clock the voice command's threads pace themselves by.
//
// In real time it is the monotonic clock.  Offline it is a shared virtual clock: each thread
// says when it next needs to run (a deadline, re-evaluated whenever something changes), and
// once every live thread is waiting the clock jumps to the earliest deadline.  The threads
// still run concurrently and hand data to each other exactly as in real time; only the
// waiting costs nothing, so a minute of speech goes through the path in a second.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

namespace cli {

class PathClock {
public:
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    using Deadline = std::function<int64_t()>;  // microseconds; evaluated under the lock

    PathClock(bool realtime, int participants)
        : realtime_(realtime), start_(std::chrono::steady_clock::now()), waiting_(participants, false),
          live_(participants, true), deadlines_(participants) {}

    bool realtime() const { return realtime_; }
    std::mutex& mutex() { return mutex_; }

    // Microseconds since the start; call with mutex() held.
    int64_t NowUsLocked() const {
        if (!realtime_) return virtualNowUs_;
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    }
    int64_t NowUs() {
        std::lock_guard<std::mutex> hold(mutex_);
        return NowUsLocked();
    }

    // Blocks participant `id` until the clock reaches deadline(); `lock` holds mutex().
    void WaitUntil(int id, std::unique_lock<std::mutex>& lock, const Deadline& deadline) {
        deadlines_[id] = deadline;
        waiting_[id] = true;
        for (;;) {
            const int64_t due = deadline();
            const int64_t now = NowUsLocked();
            if (now >= due) break;
            if (realtime_) {
                // Woken early by Notify when the deadline may have moved.
                const int64_t sliceUs = std::min<int64_t>(due - now, 50000);
                changed_.wait_for(lock, std::chrono::microseconds(sliceUs));
                continue;
            }
            if (AllLiveWaiting()) {
                int64_t earliest = kNever;
                for (std::size_t i = 0; i < live_.size(); ++i) {
                    if (live_[i] && waiting_[i]) earliest = std::min(earliest, deadlines_[i]());
                }
                if (earliest == kNever) {
                    stalled_ = true;  // nobody can ever run again: give up rather than hang
                    changed_.notify_all();
                    break;
                }
                if (earliest > virtualNowUs_) {
                    virtualNowUs_ = earliest;
                    changed_.notify_all();
                    continue;  // this thread may be the one due
                }
                // Another thread is due and has been woken: let it run.
            }
            changed_.wait(lock);
            if (stalled_) break;
        }
        waiting_[id] = false;
    }

    // Something a deadline depends on has changed (call with mutex() held).
    void Notify() { changed_.notify_all(); }

    // Participant `id` has finished and no longer holds the clock back.
    void Leave(int id) {
        std::lock_guard<std::mutex> hold(mutex_);
        live_[id] = false;
        waiting_[id] = false;
        changed_.notify_all();
    }

    bool stalled() const { return stalled_; }

private:
    bool AllLiveWaiting() const {
        for (std::size_t i = 0; i < live_.size(); ++i) {
            if (live_[i] && !waiting_[i]) return false;
        }
        return true;
    }

    const bool realtime_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t virtualNowUs_ = 0;
    std::vector<bool> waiting_;
    std::vector<bool> live_;
    std::vector<Deadline> deadlines_;
    bool stalled_ = false;
};

}  // namespace cli
