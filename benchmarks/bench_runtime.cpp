// Minimal LLM runtime for the benchmarks. It honours the nine entry points the
// module binds; kiv_llm_run emits a configured number of pieces as fast as it
// can, on the calling thread or on one native thread of its own per run. The
// same emission loop also drives the floors (a C no-op callback, and a C no-op
// wrapped in the GIL-state calls), so every figure comes from one loop in one
// process. The interpreter's symbols are looked up in the running program.
#include "../proxy_server/kiv_velkor/native/velkor/velkor_records.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#define BENCH_API extern "C" __attribute__((visibility("default")))

namespace {

// Short, varied pieces (no single-byte ones, which the interpreter shares).
const char* const kPieces[8] = {" the", " quick", " brown", " fox", " jumps", " over", " lazy", " dog"};

constexpr KIV_LLMRunStatus kNormal = 0;
constexpr KIV_LLMRunStatus kFinish = 2;

struct Context {
    KIV_LLMResultCallback result = nullptr;
    KIV_LLMToolCallCallback tool = nullptr;
};

std::mutex g_mutex;
Context g_contexts[64];
unsigned g_next_context = 0;

std::atomic<long long> g_pieces{0};   // pieces per run
std::atomic<int> g_threaded{0};       // 0: calling thread, 1: one native thread per run
std::atomic<bool> g_break{false};

// Keeps the loop from being folded into the no-op callbacks.
KIV_LLMResultCallback volatile g_noop_target = nullptr;

void emit(KIV_LLMResultCallback callback, void* userdata, long long n) {
    KIV_LLMResult result;
    for (long long i = 0; i < n && !g_break.load(std::memory_order_relaxed); ++i) {
        result.text = kPieces[i & 7];
        result.token_id = static_cast<int32_t>(300 + (i * 7919) % 150000);
        result.content_type = 0;
        callback(&result, userdata, i + 1 == n ? kFinish : kNormal);
    }
}

void emit_on(bool threaded, KIV_LLMResultCallback callback, void* userdata, long long n) {
    if (threaded) {
        std::thread worker(emit, callback, userdata, n);
        worker.join();
    } else {
        emit(callback, userdata, n);
    }
}

Context* context_of(LLMContext handle) {
    const auto index = reinterpret_cast<uintptr_t>(handle);
    return index >= 1 && index <= 64 ? &g_contexts[index - 1] : nullptr;
}

// ---- the floors ----

void noop_callback(const KIV_LLMResult*, void*, KIV_LLMRunStatus) {}

using EnsureFn = int (*)();
using ReleaseFn = void (*)(int);
using SaveFn = void* (*)();
using RestoreFn = void (*)(void*);
EnsureFn g_ensure = nullptr;
ReleaseFn g_release = nullptr;
SaveFn g_save = nullptr;
RestoreFn g_restore = nullptr;

bool resolve_interpreter() {
    if (g_ensure) return true;
    g_ensure = reinterpret_cast<EnsureFn>(dlsym(RTLD_DEFAULT, "PyGILState_Ensure"));
    g_release = reinterpret_cast<ReleaseFn>(dlsym(RTLD_DEFAULT, "PyGILState_Release"));
    g_save = reinterpret_cast<SaveFn>(dlsym(RTLD_DEFAULT, "PyEval_SaveThread"));
    g_restore = reinterpret_cast<RestoreFn>(dlsym(RTLD_DEFAULT, "PyEval_RestoreThread"));
    return g_ensure && g_release && g_save && g_restore;
}

void gil_noop_callback(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state) {
    const int gil = g_ensure();
    g_noop_target(result, userdata, state);
    g_release(gil);
}

// The GIL-state loop on a thread that keeps one thread state for the whole
// loop (what a thread the interpreter already knows pays per callback).
void kept_state_loop(long long n) {
    const int outer = g_ensure();
    void* saved = g_save();
    emit(gil_noop_callback, nullptr, n);
    g_restore(saved);
    g_release(outer);
}

}  // namespace

// ---- the runtime's entry points ----

BENCH_API KIV_LLMRetStatus kiv_llm_init(LLMContext* handle, const KIV_LLMInitParam*, KIV_LLMResultCallback callback) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (handle == nullptr || g_next_context >= 64) return 1;
    g_contexts[g_next_context].result = callback;
    g_contexts[g_next_context].tool = nullptr;
    *handle = reinterpret_cast<LLMContext>(static_cast<uintptr_t>(++g_next_context));
    return 0;
}

BENCH_API KIV_LLMRetStatus kiv_llm_uninit(LLMContext handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Context* c = context_of(handle)) *c = Context{};
    return 0;
}

BENCH_API KIV_LLMRetStatus kiv_llm_run(LLMContext handle, const KIV_LLMInput*, const KIV_LLMRunParam*, void* userdata) {
    KIV_LLMResultCallback callback;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Context* c = context_of(handle);
        if (c == nullptr || c->result == nullptr) return 1;
        callback = c->result;
    }
    g_break.store(false);
    emit_on(g_threaded.load() != 0, callback, userdata, g_pieces.load());
    return 0;
}

BENCH_API KIV_LLMRetStatus kiv_llm_reset(LLMContext) { return 0; }

BENCH_API KIV_LLMRetStatus kiv_llm_break(LLMContext) {
    g_break.store(true);
    return 0;
}

BENCH_API KIV_LLMRetStatus kiv_llm_set_chat_template(LLMContext, const char*, const char*, const char*) { return 0; }

BENCH_API KIV_LLMRetStatus kiv_llm_set_chat_template_jinja(LLMContext, const char*) { return 0; }

BENCH_API KIV_LLMRetStatus kiv_llm_set_toolcall_callback(LLMContext handle, KIV_LLMToolCallCallback callback, int32_t) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Context* c = context_of(handle)) c->tool = callback;
    return 0;
}

BENCH_API KIV_LLMRetStatus kiv_llm_get_vision_info(LLMContext, KIV_LLMVisionInfo*) { return 1; }

// ---- benchmark controls ----

// Pieces per run and where they are emitted (0: calling thread, 1: a new native thread per run).
BENCH_API void bench_configure(long long pieces, int threaded) {
    g_pieces.store(pieces);
    g_threaded.store(threaded);
}

// The emission loop with a C no-op callback.
BENCH_API void bench_floor_noop(long long n, int threaded) {
    g_noop_target = noop_callback;
    emit_on(threaded != 0, noop_callback, nullptr, n);
}

// The emission loop with only PyGILState_Ensure/PyGILState_Release around a C
// no-op. Call it with the interpreter lock released (ctypes.CDLL does). On a
// new native thread every callback creates and destroys a thread state.
BENCH_API int bench_floor_gil(long long n, int threaded) {
    if (!resolve_interpreter()) return -1;
    g_noop_target = noop_callback;
    emit_on(threaded != 0, gil_noop_callback, nullptr, n);
    return 0;
}

// The same on a new native thread that holds one thread state for the loop.
BENCH_API int bench_floor_gil_kept(long long n) {
    if (!resolve_interpreter()) return -1;
    g_noop_target = noop_callback;
    std::thread worker(kept_state_loop, n);
    worker.join();
    return 0;
}
