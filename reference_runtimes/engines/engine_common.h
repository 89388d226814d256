// Small helpers shared by the two real-engine runtimes.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "frame/runtime_util.h"

namespace kiveng {

// An engine object owned with the engine's own function to free it.
template <typename T, auto Free>
struct FreeWith {
    void operator()(T* p) const { Free(p); }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<T, Free>>;

// KIV_ENGINE_LOG=1 lets the engines print their own diagnostics (model
// loading, decoder set-up); by default only their errors reach stderr.
inline bool engine_log_enabled() {
    const char* v = std::getenv("KIV_ENGINE_LOG");
    return v != nullptr && *v != '\0' && std::string(v) != "0";
}

// The compute threads of a context when nothing else says: KIV_ENGINE_THREADS,
// else half the hardware threads, between 1 and 4. Spinning threads that
// outnumber the free cores slow a decode down by orders of magnitude, so the
// default leaves room for the rest of the machine.
inline int default_threads() {
    if (auto n = kivrt::env_non_negative("KIV_ENGINE_THREADS"); n && *n > 0) return static_cast<int>(*n);
    const unsigned hw = std::thread::hardware_concurrency();
    const int half = static_cast<int>(hw / 2);
    return half < 1 ? 1 : half > 4 ? 4 : half;
}

}  // namespace kiveng
