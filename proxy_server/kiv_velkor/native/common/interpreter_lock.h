// The interpreter lock at the native boundary, for both modules: the one rule
// for whether a thread may take it, the scoped release around a native call,
// taking it on a runtime's thread, and the gate that closes when the
// interpreter ends.
//
// Once the interpreter has started to finalise, CPython 3.13 ends any other
// thread that asks for its lock by unwinding it (pthread_exit). Unwinding a
// thread that is inside a runtime's frames, or through a noexcept frame,
// aborts the process; a thread that goes on touching Python objects corrupts
// it. So native code asks for the lock only when may_enter_python() says so.
// An exit hook (atexit, which runs before finalisation starts) closes the gate
// and waits a bounded time for the threads already inside; from then on a
// thread other than the one finalising never asks for the lock again: a
// callback returns at once, and a thread coming back from a native call waits
// there until the process ends (it is a daemon thread the interpreter has
// abandoned).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <thread>

namespace kiv {

namespace interpreter_lock_detail {
// Set once, by the exit hook, when the interpreter starts to end.
inline std::atomic<bool> exiting{false};
// The thread that ran the exit hook: it finalises the interpreter, and so it
// may still take the lock afterwards.
inline std::atomic<std::thread::id> finalising_thread{};
static_assert(std::atomic<std::thread::id>::is_always_lock_free);
}  // namespace interpreter_lock_detail

// The rule: whether this thread may ask for the interpreter lock now. It may
// while the interpreter is not ending, and the thread finalising it always
// may. A thread counts itself where the exit hook waits for it (see
// register_exit_hook) before it asks, so either it sees the gate closed or the
// hook sees it coming.
inline bool may_enter_python() noexcept {
    using namespace interpreter_lock_detail;
    return !exiting.load() || finalising_thread.load() == std::this_thread::get_id();
}

// Whether code that holds the lock, or believes it does, may touch objects
// (drop a reference, restore an exception): a thread that may enter Python, or
// one already inside (its thread state is current: it entered before the gate
// closed). Only a thread that the ending interpreter is unwinding answers no;
// it leaks instead, the process is ending.
inline bool may_touch_objects() noexcept {
    return may_enter_python() || PyThreadState_GetUnchecked() != nullptr;
}

// Registers the exit hook of the calling module (once per module).
// `in_python` (may be NULL) counts further threads of the module's own that
// are between their admission and leaving Python, for the hook to wait for.
bool register_exit_hook(int (*in_python)() = nullptr);

// In the child of a fork (called by the at-fork handler of forking.h, which
// says what it may do): the threads the counts and the finalising thread name
// are the parent's. The admitted threads are forgotten, so the child's exit
// waits for none of them; the gate stays closed only when the thread that
// forked is the one finalising (a fork from a later exit function), and is
// open again otherwise: that child's interpreter is not ending.
void forget_parent_threads() noexcept;

// How long the exit hook waits for the threads already admitted (callbacks
// running Python code) before finalisation goes on without them.
inline constexpr int kExitDrainMilliseconds = 3000;

// Takes the lock back after a native call, through the gate: on a thread that
// may no longer enter Python it never returns (it waits for the process end).
void reacquire_gil(PyThreadState* state);

// Releases the interpreter lock for the lifetime of the scope, around a native
// call that may take long. Taking it back may unwind the thread while the
// interpreter ends, so the destructor lets that unwinding through
// (noexcept(false)) instead of aborting the process.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() noexcept(false) { reacquire_gil(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

// Takes the lock on a runtime's thread for the scope of one callback (which
// has asked may_enter_python() first), through the GIL-state calls, and gives
// it back before the callback returns. On a thread the interpreter has not
// seen, that makes and deletes a thread state per callback: a thread state
// kept across callbacks would have to be deleted when its thread exits, which
// needs the lock, and a runtime joins its threads from calls made with the
// lock held (a release of a context, the library's destructors) or while the
// interpreter ends. A thread's exit therefore never needs the lock.
class AcquireGil {
public:
    AcquireGil() : state_(PyGILState_Ensure()) {}
    ~AcquireGil() noexcept(false) {
        if (may_touch_objects()) PyGILState_Release(state_);
    }
    AcquireGil(const AcquireGil&) = delete;
    AcquireGil& operator=(const AcquireGil&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace kiv
