#include "compute_threads.h"

#include <algorithm>
#include <chrono>

namespace kiveng {

ComputeThreads& ComputeThreads::process() {
    static ComputeThreads budget;
    return budget;
}

int ComputeThreads::limit_locked() const { return claims_.empty() ? 1 : std::max(1, *claims_.rbegin()); }

ComputeThreads::Claim::Claim(ComputeThreads& budget, int threads) : budget_(budget), threads_(threads) {
    std::lock_guard<std::mutex> lock(budget_.mutex_);
    budget_.claims_.insert(threads_);
}

ComputeThreads::Claim::~Claim() {
    {
        std::lock_guard<std::mutex> lock(budget_.mutex_);
        budget_.claims_.erase(budget_.claims_.find(threads_));
    }
    budget_.freed_.notify_all();
}

ComputeThreads::Active::Active(ComputeThreads& budget) : budget_(budget) {
    std::lock_guard<std::mutex> lock(budget_.mutex_);
    ++budget_.active_;
}

ComputeThreads::Active::~Active() {
    {
        std::lock_guard<std::mutex> lock(budget_.mutex_);
        --budget_.active_;
    }
    budget_.freed_.notify_all();
}

ComputeThreads::Grant::~Grant() {
    if (threads_ == 0) return;
    {
        std::lock_guard<std::mutex> lock(budget_.mutex_);
        budget_.in_use_ -= threads_;
    }
    budget_.freed_.notify_all();
}

ComputeThreads::Grant ComputeThreads::acquire(int wanted, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const int limit = limit_locked();
        // The share is taken anew on every wake: runs start and end meanwhile.
        const int share = std::clamp(limit / std::max(1, active_), 1, std::max(1, wanted));
        if (in_use_ + share <= limit || in_use_ == 0) {
            in_use_ += share;
            return Grant(*this, share);
        }
        if (stop.load(std::memory_order_relaxed)) return Grant(*this, 0);
        // A break sets the flag without notifying this condition: look again soon.
        freed_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

}  // namespace kiveng
