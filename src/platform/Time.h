// Time services: a millisecond clock, sleeping, events and periodic waitable timers.
//
// Two implementations share these interfaces: the real one on the monotonic clock, and a
// virtual one whose clock moves only when a test moves it (or, in auto-advance mode, jumps
// straight to the deadline a caller is waiting for), so time-outs and pacing are tested in
// milliseconds of wall time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

namespace zelmar::platform {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

enum class WaitResult { kSignaled, kTimedOut, kFailed };

// An event in the Windows sense: manual-reset events stay set until Reset; auto-reset events
// release one waiter and clear themselves.
class IEvent {
public:
    virtual ~IEvent() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

// A synchronisation (auto-reset) waitable timer: each tick releases one wait; ticks that pass
// while nobody waits collapse into one pending tick.
class IWaitableTimer {
public:
    virtual ~IWaitableTimer() = default;
    // dueTime100ns: negative = relative to now, in 100 ns units (positive absolute times are
    // not used by the engine and are refused).  periodMs 0 = fire once.
    virtual bool Set(int64_t dueTime100ns, uint32_t periodMs) = 0;
    virtual bool Cancel() = 0;
    virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

class ITimeService {
public:
    virtual ~ITimeService() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32 like timeGetTime.
    virtual uint32_t NowMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual std::unique_ptr<IEvent> CreateEvent(bool manualReset, bool initiallySet) = 0;
    virtual std::unique_ptr<IWaitableTimer> CreateTimer() = 0;
    // Waits until one of `events` (all made by this service) is set; *which receives its
    // position.  Auto-reset events are cleared by the wait that takes them.
    virtual WaitResult WaitAny(IEvent* const* events, std::size_t count, uint32_t timeoutMs,
                               std::size_t* which) = 0;
};

// The real clock (std::chrono::steady_clock).
std::unique_ptr<ITimeService> CreateRealTimeService();

// A virtual clock, starting at `startMs`.
class VirtualTimeService : public ITimeService {
public:
    // autoAdvance: a caller that would block (SleepMs, a wait that nothing satisfies yet)
    // moves the clock to its deadline at once.  Without it, blocked callers wait until
    // another thread calls Advance or sets the event.
    explicit VirtualTimeService(bool autoAdvance, uint32_t startMs = 0);
    ~VirtualTimeService() override;

    void Advance(uint32_t ms);
    // Threads blocked in a wait or sleep of this service right now (manual mode): a test
    // advances the clock once the component under test is known to be waiting.
    int BlockedWaiters() const;
    // Virtual microseconds since the start of this service.
    int64_t NowUs() const;

    // Wake sources: something outside the clock that acts at a moment of virtual time (a
    // virtual sound device whose cursor passes a notification position).  `onDue` runs once
    // the clock reaches the time last scheduled for the source (a waiter in auto-advance mode
    // jumps there, Advance passes it), on the thread that moved the clock and without the
    // clock's lock, so it may set events and schedule again.  It returns false once the
    // source is gone, which removes it.  Ids are unique across all clocks.
    static constexpr int64_t kNeverUs = std::numeric_limits<int64_t>::max();
    int64_t AddWakeSource(std::function<bool()> onDue);
    // False when this clock does not know `source`.  kNeverUs: nothing due.
    bool ScheduleWake(int64_t source, int64_t dueUs);

    uint32_t NowMs() override;
    void SleepMs(uint32_t ms) override;
    std::unique_ptr<IEvent> CreateEvent(bool manualReset, bool initiallySet) override;
    std::unique_ptr<IWaitableTimer> CreateTimer() override;
    WaitResult WaitAny(IEvent* const* events, std::size_t count, uint32_t timeoutMs,
                       std::size_t* which) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zelmar::platform
