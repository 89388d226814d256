// What a child made by fork() keeps of the modules' native state. fork()
// copies one thread: whatever counts or names the parent's other threads (the
// callbacks admitted into Python, a lock held around a runtime call, the busy
// mark of a call in progress) describes threads the child does not have. A
// handler registered with pthread_atfork puts that right in the child, before
// Python's own after-fork code runs. The child is single-threaded there, and
// a vanished thread may have held any lock or been inside malloc, so the
// handler and everything it calls only store to plain or lock-free atomic
// variables: no lock, no allocation, no Python object.
#pragma once

#include <atomic>
#include <cstdint>

namespace kiv {

namespace forking_detail {
// Bumped in the child of every fork(): which process of a line of forks this
// is. Marks record it, so a child can tell the marks made by its parent's
// threads from its own.
inline std::atomic<uint32_t> generation{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
}  // namespace forking_detail

// The generation of this process (see above).
inline uint32_t process_generation() noexcept {
    return forking_detail::generation.load(std::memory_order_relaxed);
}

// What a module puts right in the child, by the rules above.
using ChildHandler = void (*)() noexcept;

// Registers the module's at-fork child handler, once per module however often
// it is called: it forgets the parent's threads in the interpreter lock's
// counts (interpreter_lock.h), starts a new process generation, then calls
// `module_child` (may be NULL). False with OSError set when the C library
// refuses the registration.
bool register_fork_handler(ChildHandler module_child);

}  // namespace kiv
