// The interpreter's end, as native threads see it.
//
// Once the interpreter has started to finalise, CPython 3.13 ends any other
// thread that asks for its lock by unwinding it (pthread_exit). Unwinding a
// thread that is inside a runtime's frames, or through a noexcept frame,
// aborts the process; a thread that goes on touching Python objects corrupts
// it. So native code asks for the lock only through this gate. An exit hook
// (atexit, which runs before finalisation starts) closes the gate and waits
// a bounded time for the threads already inside; from then on a thread other
// than the one finalising never asks for the lock again: a callback returns
// at once, and a thread coming back from a native call waits there until the
// process ends (it is a daemon thread the interpreter has abandoned).
#pragma once

#include "py_ref.h"

namespace kiv {

// Registers the exit hook of the calling module (once per module).
// `in_python` (may be NULL) counts further threads of the module's own that
// are between an admission and leaving Python, for the hook to wait for.
bool register_exit_hook(int (*in_python)() = nullptr);

// Whether this thread may still take the interpreter lock: the interpreter is
// not ending, or this is the thread finalising it. A module that counts its
// own admissions (see register_exit_hook) counts first, then asks this.
// (Threads coming back from a native call are gated by ReleaseGil, py_ref.h.)
bool python_open_to_this_thread() noexcept;

// How long the exit hook waits for the threads already admitted (callbacks
// running Python code) before finalisation goes on without them.
inline constexpr int kExitDrainMilliseconds = 3000;

}  // namespace kiv
