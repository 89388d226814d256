// The runs in progress, and the admission of the runtime's callbacks into
// Python: a callback for an object with no run in progress, or one that
// arrives while the interpreter ends, returns without touching Python.
#include "velkor_module.h"

#include "../common/interpreter_lifetime.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace velkor {

struct RunSlot {
    VelkorObject* object = nullptr;  // NULL when the slot is free
    LLMContext ctx = nullptr;
    std::atomic<int> callbacks{0};   // callbacks of this run in flight
};

namespace {

// Never destroyed: a runtime thread may call back while the process exits,
// after static destructors have run.
std::mutex& registry_lock = *new std::mutex;
std::vector<RunSlot*>& registry = *new std::vector<RunSlot*>;

// Pins the run of `userdata`, when one is registered.
RunSlot* pin(void* userdata) {
    std::lock_guard<std::mutex> lock(registry_lock);
    for (RunSlot* slot : registry) {
        if (slot->object == userdata) {
            slot->callbacks.fetch_add(1, std::memory_order_relaxed);
            return slot;
        }
    }
    return nullptr;
}

void report_dropped_callback() {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) return;
    std::fprintf(stderr,
                 "[VELKOR_FUNC] dropped a callback for an object with no run in progress (the runtime called "
                 "back after kiv_llm_run returned); later ones are dropped silently\n");
}

}  // namespace

RunSlot* register_run(VelkorObject* self, LLMContext ctx) {
    std::lock_guard<std::mutex> lock(registry_lock);
    RunSlot* free_slot = nullptr;
    for (RunSlot* slot : registry) {
        if (slot->object == nullptr && slot->callbacks.load(std::memory_order_acquire) == 0) {
            free_slot = slot;
            break;
        }
    }
    if (free_slot == nullptr) {
        free_slot = new (std::nothrow) RunSlot;
        if (free_slot == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        try {
            registry.push_back(free_slot);
        } catch (const std::bad_alloc&) {
            delete free_slot;
            PyErr_NoMemory();
            return nullptr;
        }
    }
    free_slot->object = self;
    free_slot->ctx = ctx;
    return free_slot;
}

void unregister_run(RunSlot* slot) {
    {
        std::lock_guard<std::mutex> lock(registry_lock);
        slot->object = nullptr;
    }
    // A callback that pinned the run before it ended finishes first: it may be
    // waiting for the interpreter lock, which the caller does not hold.
    for (int spins = 0; slot->callbacks.load(std::memory_order_acquire) != 0; ++spins) {
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
    admitted_ = kiv::enter_python();
    // The interpreter is ending: nobody will read this run's output, so the
    // runtime is asked to stop (the calling thread then waits for the process
    // to end instead of coming back into Python).
    if (!admitted_) kiv_llm_break(slot_->ctx);
}

CallbackAdmission::~CallbackAdmission() {
    if (admitted_) kiv::leave_python();
    if (slot_ != nullptr) slot_->callbacks.fetch_sub(1, std::memory_order_release);
}

}  // namespace velkor
