#include "forking.h"

#include "interpreter_lock.h"

#include <pthread.h>

#include <cerrno>

namespace kiv {

namespace {

ChildHandler s_module_child = nullptr;

void in_child_after_fork() noexcept {
    forget_parent_threads();
    forking_detail::generation.fetch_add(1, std::memory_order_relaxed);
    if (s_module_child != nullptr) s_module_child();
}

}  // namespace

bool register_fork_handler(ChildHandler module_child) {
    static bool registered = false;
    if (registered) return true;
    s_module_child = module_child;
    if (const int rc = pthread_atfork(nullptr, nullptr, in_child_after_fork); rc != 0) {
        errno = rc;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    registered = true;
    return true;
}

}  // namespace kiv
