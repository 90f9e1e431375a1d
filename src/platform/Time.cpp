#include "platform/Time.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <atomic>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

namespace zelmar::platform {
namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int64_t kUsPerMs = 1000;

// State shared by one service and every event and timer it made.  One mutex and one
// condition variable serve all of them: WaitAny over several events is then a plain
// predicate check, and waits are rare enough (one per audio block) not to contend.
class TimeCore {
public:
    virtual ~TimeCore() = default;

    std::mutex mutex;
    std::condition_variable changed;

    virtual int64_t NowUsLocked() const = 0;
    // Blocks until `wakeUs` (kNever: until notified) or a notification, whichever is first.
    virtual void BlockUntil(std::unique_lock<std::mutex>& lock, int64_t wakeUs) = 0;

    // Waits until tryTake() succeeds or the time-out passes.  nextDueUs() tells when the
    // earliest timer among the awaited objects fires (kNever if none).
    template <typename TryTake, typename NextDue>
    WaitResult Wait(TryTake tryTake, NextDue nextDueUs, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        const int64_t deadline = timeoutMs == kWaitForever
                                     ? kNever
                                     : NowUsLocked() + int64_t{timeoutMs} * kUsPerMs;
        for (;;) {
            if (tryTake()) return WaitResult::kSignaled;
            if (NowUsLocked() >= deadline) return WaitResult::kTimedOut;
            BlockUntil(lock, std::min(deadline, nextDueUs()));
        }
    }

    void Notify() { changed.notify_all(); }
};

class RealCore final : public TimeCore {
public:
    int64_t NowUsLocked() const override { return NowUs(); }
    int64_t NowUs() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    }
    void BlockUntil(std::unique_lock<std::mutex>& lock, int64_t wakeUs) override {
        if (wakeUs == kNever) {
            changed.wait(lock);
        } else {
            changed.wait_until(lock, start_ + std::chrono::microseconds(wakeUs));
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start_ = Clock::now();
};

class VirtualCore final : public TimeCore {
public:
    VirtualCore(bool autoAdvance, int64_t startUs) : autoAdvance_(autoAdvance), nowUs_(startUs) {}

    int64_t NowUsLocked() const override { return nowUs_; }
    void BlockUntil(std::unique_lock<std::mutex>& lock, int64_t wakeUs) override {
        wakeUs = std::min(wakeUs, NextWakeLocked());
        if (autoAdvance_ && wakeUs != kNever) {
            // Nothing can happen before the deadline except another thread's Set, which in
            // a virtual world takes no time, or a wake source's act: jump there.
            nowUs_ = std::max(nowUs_, wakeUs);
            RunDueSources(lock);
            Notify();
            return;
        }
        ++blocked_;
        changed.wait(lock);
        --blocked_;
    }
    int BlockedLocked() const { return blocked_; }

    int64_t AddSourceLocked(std::function<bool()> onDue) {
        static std::atomic<int64_t> nextId{1};
        const int64_t id = nextId++;
        sources_[id] = Source{std::make_shared<std::function<bool()>>(std::move(onDue)), kNever};
        return id;
    }
    bool ScheduleLocked(int64_t id, int64_t dueUs) {
        const auto found = sources_.find(id);
        if (found == sources_.end()) return false;
        found->second.dueUs = dueUs;
        Notify();  // an auto-advancing waiter may now have an earlier moment to jump to
        return true;
    }
    // Runs, one at a time and without the lock, every source due by now.  Allocates nothing:
    // a device's pacing waits run through here.
    void RunDueSources(std::unique_lock<std::mutex>& lock) {
        for (;;) {
            auto due = sources_.end();
            for (auto it = sources_.begin(); it != sources_.end(); ++it) {
                if (it->second.dueUs <= nowUs_) {
                    due = it;
                    break;
                }
            }
            if (due == sources_.end()) return;
            due->second.dueUs = kNever;  // the source schedules itself again
            const int64_t id = due->first;
            const std::shared_ptr<std::function<bool()>> onDue = due->second.onDue;
            lock.unlock();
            const bool alive = (*onDue)();
            lock.lock();
            if (!alive) sources_.erase(id);
            Notify();
        }
    }
    void AdvanceLocked(int64_t us) {
        nowUs_ += us;
        Notify();
    }

private:
    struct Source {
        std::shared_ptr<std::function<bool()>> onDue;
        int64_t dueUs;
    };
    int64_t NextWakeLocked() const {
        int64_t next = kNever;
        for (const auto& entry : sources_) next = std::min(next, entry.second.dueUs);
        return next;
    }

    const bool autoAdvance_;
    int64_t nowUs_;
    int blocked_ = 0;
    std::map<int64_t, Source> sources_;
};

class CoreEvent final : public IEvent {
public:
    CoreEvent(std::shared_ptr<TimeCore> core, bool manualReset, bool initiallySet)
        : core_(std::move(core)), manualReset_(manualReset), set_(initiallySet) {}

    void Set() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        set_ = true;
        core_->Notify();
    }
    void Reset() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        set_ = false;
    }
    WaitResult Wait(uint32_t timeoutMs) override {
        return core_->Wait([this] { return TryTakeLocked(); }, [] { return kNever; }, timeoutMs);
    }

    bool TryTakeLocked() {
        if (!set_) return false;
        if (!manualReset_) set_ = false;
        return true;
    }
    const TimeCore* core() const { return core_.get(); }

private:
    std::shared_ptr<TimeCore> core_;
    const bool manualReset_;
    bool set_;
};

class CoreTimer final : public IWaitableTimer {
public:
    explicit CoreTimer(std::shared_ptr<TimeCore> core) : core_(std::move(core)) {}

    bool Set(int64_t dueTime100ns, uint32_t periodMs) override {
        if (dueTime100ns > 0) return false;
        std::lock_guard<std::mutex> lock(core_->mutex);
        dueUs_ = core_->NowUsLocked() + (-dueTime100ns) / 10;
        periodUs_ = int64_t{periodMs} * kUsPerMs;
        armed_ = true;
        core_->Notify();
        return true;
    }
    bool Cancel() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        armed_ = false;
        core_->Notify();
        return true;
    }
    WaitResult Wait(uint32_t timeoutMs) override {
        return core_->Wait([this] { return TryTakeLocked(); },
                           [this] { return armed_ ? dueUs_ : kNever; }, timeoutMs);
    }

private:
    bool TryTakeLocked() {
        const int64_t now = core_->NowUsLocked();
        if (!armed_ || now < dueUs_) return false;
        if (periodUs_ > 0) {
            // Ticks missed while nobody waited collapse into this one.
            dueUs_ += ((now - dueUs_) / periodUs_ + 1) * periodUs_;
        } else {
            armed_ = false;
        }
        return true;
    }

    std::shared_ptr<TimeCore> core_;
    bool armed_ = false;
    int64_t dueUs_ = 0;
    int64_t periodUs_ = 0;
};

WaitResult WaitAnyOn(TimeCore& core, IEvent* const* events, std::size_t count,
                     uint32_t timeoutMs, std::size_t* which) {
    if (events == nullptr || count == 0) return WaitResult::kFailed;
    for (std::size_t i = 0; i < count; ++i) {
        auto* event = dynamic_cast<CoreEvent*>(events[i]);
        if (event == nullptr || event->core() != &core) return WaitResult::kFailed;
    }
    return core.Wait(
        [&] {
            for (std::size_t i = 0; i < count; ++i) {
                if (static_cast<CoreEvent*>(events[i])->TryTakeLocked()) {
                    if (which != nullptr) *which = i;
                    return true;
                }
            }
            return false;
        },
        [] { return kNever; }, timeoutMs);
}

class RealTimeService final : public ITimeService {
public:
    uint32_t NowMs() override { return static_cast<uint32_t>(core_->NowUs() / kUsPerMs); }
    void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    std::unique_ptr<IEvent> CreateEvent(bool manualReset, bool initiallySet) override {
        return std::make_unique<CoreEvent>(core_, manualReset, initiallySet);
    }
    std::unique_ptr<IWaitableTimer> CreateTimer() override {
        return std::make_unique<CoreTimer>(core_);
    }
    WaitResult WaitAny(IEvent* const* events, std::size_t count, uint32_t timeoutMs,
                       std::size_t* which) override {
        return WaitAnyOn(*core_, events, count, timeoutMs, which);
    }

private:
    std::shared_ptr<RealCore> core_ = std::make_shared<RealCore>();
};

}  // namespace

std::unique_ptr<ITimeService> CreateRealTimeService() { return std::make_unique<RealTimeService>(); }

struct VirtualTimeService::Impl {
    std::shared_ptr<VirtualCore> core;
};

VirtualTimeService::VirtualTimeService(bool autoAdvance, uint32_t startMs)
    : impl_(std::make_unique<Impl>(
          Impl{std::make_shared<VirtualCore>(autoAdvance, int64_t{startMs} * kUsPerMs)})) {}

VirtualTimeService::~VirtualTimeService() = default;

void VirtualTimeService::Advance(uint32_t ms) {
    std::unique_lock<std::mutex> lock(impl_->core->mutex);
    impl_->core->AdvanceLocked(int64_t{ms} * kUsPerMs);
    impl_->core->RunDueSources(lock);
}

int64_t VirtualTimeService::AddWakeSource(std::function<bool()> onDue) {
    std::lock_guard<std::mutex> lock(impl_->core->mutex);
    return impl_->core->AddSourceLocked(std::move(onDue));
}

bool VirtualTimeService::ScheduleWake(int64_t source, int64_t dueUs) {
    std::lock_guard<std::mutex> lock(impl_->core->mutex);
    return impl_->core->ScheduleLocked(source, dueUs);
}

int64_t VirtualTimeService::NowUs() const {
    std::lock_guard<std::mutex> lock(impl_->core->mutex);
    return impl_->core->NowUsLocked();
}

int VirtualTimeService::BlockedWaiters() const {
    std::lock_guard<std::mutex> lock(impl_->core->mutex);
    return impl_->core->BlockedLocked();
}

uint32_t VirtualTimeService::NowMs() { return static_cast<uint32_t>(NowUs() / kUsPerMs); }

void VirtualTimeService::SleepMs(uint32_t ms) {
    // A sleep is a wait on something that never happens.
    auto& core = *impl_->core;
    core.Wait([] { return false; }, [] { return kNever; }, ms);
}

std::unique_ptr<IEvent> VirtualTimeService::CreateEvent(bool manualReset, bool initiallySet) {
    return std::make_unique<CoreEvent>(impl_->core, manualReset, initiallySet);
}

std::unique_ptr<IWaitableTimer> VirtualTimeService::CreateTimer() {
    return std::make_unique<CoreTimer>(impl_->core);
}

WaitResult VirtualTimeService::WaitAny(IEvent* const* events, std::size_t count,
                                       uint32_t timeoutMs, std::size_t* which) {
    return WaitAnyOn(*impl_->core, events, count, timeoutMs, which);
}

}  // namespace zelmar::platform
