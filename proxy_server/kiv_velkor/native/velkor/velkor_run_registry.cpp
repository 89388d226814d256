// The registry of runs in progress, and the admission of the runtime's
// callbacks into Python: a callback for an object with no run in progress, or
// one that arrives while the interpreter ends, returns without touching Python.
//
// The result bridge asks on every token, so the lookup takes no lock: a
// callback counts itself on the slot of its run first and then checks that
// the slot still holds its object, while the end of a run clears the slot
// first and then waits for the count to drop. Either the callback sees the
// run gone, or the run's end sees the callback and waits for it. The exit
// hook of interpreter_lock.h meets the callbacks the same way.
//
// In the child of a fork the runs in progress and their callbacks are the
// parent's threads: the registry forgets them (forking.h), so the child's exit
// never waits for them and a late callback for one is dropped.
#include "velkor_run_registry.h"

#include "../common/forking.h"
#include "../common/interpreter_lock.h"
#include "velkor_loader.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

namespace velkor {

struct RunSlot {
    std::atomic<VelkorObject*> object{nullptr};  // NULL when the slot is free
    LLMContext ctx = nullptr;                    // written before the object is published
    std::atomic<int> callbacks{0};               // callbacks of this slot in flight
};

namespace {

constexpr int kSlotsPerChunk = 32;

struct Chunk {
    RunSlot slots[kSlotsPerChunk];
    std::atomic<Chunk*> next{nullptr};
};

// Never freed: a runtime thread may call back while the process exits, after
// static destructors have run. Registrations (one per run) take the lock;
// lookups walk the chunks without it. The lock is made anew in a forked child.
Chunk* const s_first_chunk = new Chunk;
std::mutex& s_registration_lock = *new std::mutex;

template <typename Visit>
RunSlot* find_slot(Visit&& visit) {
    for (Chunk* chunk = s_first_chunk; chunk != nullptr; chunk = chunk->next.load(std::memory_order_acquire)) {
        for (RunSlot& slot : chunk->slots) {
            if (visit(slot)) return &slot;
        }
    }
    return nullptr;
}

// Pins the run of `userdata`, when one is registered.
RunSlot* pin(void* userdata) {
    return find_slot([userdata](RunSlot& slot) {
        if (slot.object.load(std::memory_order_relaxed) != userdata) return false;
        slot.callbacks.fetch_add(1);
        if (slot.object.load() == userdata) return true;
        slot.callbacks.fetch_sub(1);   // the run ended meanwhile
        return false;
    });
}

// Callbacks between their admission and leaving Python (for the exit hook).
int callbacks_in_flight() {
    int total = 0;
    find_slot([&total](RunSlot& slot) {
        total += slot.callbacks.load();
        return false;
    });
    return total;
}

// The at-fork child handler's part (forking.h): only stores.
void forget_parent_runs() noexcept {
    new (&s_registration_lock) std::mutex;
    find_slot([](RunSlot& slot) {
        slot.object.store(nullptr);
        slot.callbacks.store(0);
        return false;
    });
}

void report_dropped_callback() {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) return;
    std::fprintf(stderr,
                 "[VELKOR_FUNC] dropped a callback for an object with no run in progress (the runtime called "
                 "back after kiv_llm_run returned); later ones are dropped silently\n");
}

}  // namespace

bool register_process_hooks() {
    return kiv::register_exit_hook(callbacks_in_flight) && kiv::register_fork_handler(forget_parent_runs);
}

RunSlot* register_run(VelkorObject* self, LLMContext ctx) {
    std::lock_guard<std::mutex> lock(s_registration_lock);
    auto is_free = [](RunSlot& slot) {
        return slot.object.load() == nullptr && slot.callbacks.load() == 0;
    };
    RunSlot* slot = find_slot(is_free);
    if (slot == nullptr) {
        Chunk* chunk = new (std::nothrow) Chunk;
        if (chunk == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        Chunk* last = s_first_chunk;
        while (Chunk* next = last->next.load()) last = next;
        last->next.store(chunk, std::memory_order_release);
        slot = &chunk->slots[0];
    }
    slot->ctx = ctx;
    slot->object.store(self);
    return slot;
}

void unregister_run(RunSlot* slot) {
    slot->object.store(nullptr);
    // A callback that pinned the run before it ended finishes first: it may be
    // waiting for the interpreter lock, which the caller does not hold.
    for (int spins = 0; slot->callbacks.load() != 0; ++spins) {
        if (spins < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
}

CallbackAdmission::CallbackAdmission(void* userdata) noexcept {
    slot_ = pin(userdata);
    if (slot_ == nullptr) {
        report_dropped_callback();
        return;
    }
    admitted_ = kiv::may_enter_python();
    // The interpreter is ending: nobody will read this run's output, so the
    // runtime is asked to stop (the thread that called run() then waits for
    // the process to end instead of coming back into Python).
    if (!admitted_) kiv_llm_break(slot_->ctx);
}

CallbackAdmission::~CallbackAdmission() {
    if (slot_ != nullptr) slot_->callbacks.fetch_sub(1);
}

}  // namespace velkor
