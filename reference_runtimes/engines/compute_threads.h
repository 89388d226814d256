// The compute threads of the process's LLM contexts, shared by their decodes.
//
// ggml's workers spin at the barrier between two operations of a graph. When
// the decodes running at once have more workers together than there are
// cores, a worker waits at a barrier for one that another decode keeps off
// the cores, and every decode slows down by an order of magnitude. So the
// decodes in progress together use at most the budget: the largest
// `n_threads` a live context was given. Each decode takes its share of it
// among the runs in progress (at least one thread), waiting while the
// threads it needs are taken.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

namespace kiveng {

class ComputeThreads {
public:
    // The one budget of the process.
    static ComputeThreads& process();

    // A live context's claim: the budget is the largest one held.
    class Claim {
    public:
        Claim(ComputeThreads& budget, int threads);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

    private:
        ComputeThreads& budget_;
        int threads_;
    };

    // A run in progress: the budget is split among them.
    class Active {
    public:
        explicit Active(ComputeThreads& budget);
        ~Active();
        Active(const Active&) = delete;
        Active& operator=(const Active&) = delete;

    private:
        ComputeThreads& budget_;
    };

    // Threads held for one decode, given back when it ends.
    class Grant {
    public:
        Grant(ComputeThreads& budget, int threads) : budget_(budget), threads_(threads) {}
        ~Grant();
        Grant(const Grant&) = delete;
        Grant& operator=(const Grant&) = delete;
        // 0 when the wait for them was cut short by a break.
        int threads() const { return threads_; }

    private:
        ComputeThreads& budget_;
        int threads_;
    };

    // Threads for one decode of a run that uses at most `wanted`: its share
    // of the budget, once that many are free. A set `stop` ends the wait with
    // a grant of none.
    Grant acquire(int wanted, const std::atomic<bool>& stop);

private:
    int limit_locked() const;

    std::mutex mutex_;
    std::condition_variable freed_;
    std::multiset<int> claims_;  // the live contexts' n_threads: the largest is the budget
    int active_ = 0;                   // runs in progress
    int in_use_ = 0;                   // threads held by decodes
};

}  // namespace kiveng
