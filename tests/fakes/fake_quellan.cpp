// A recording stand-in for the speech runtime libquellan.so.
//
// It exports the four kiv_asr_* entry points and logs every call in order,
// copying at call time the bytes of each record it receives and every string
// those records point to. Return codes, handles and result strings are
// scripted; without a script init succeeds with a fresh non-NULL handle and
// transcribe succeeds with "hello" / "en". Result strings are poisoned and
// freed when kiv_asr_free_result releases them, so a reader that keeps using
// them after the release sees garbage.
//
// The records are read as raw bytes at their documented offsets, independently
// of the module's own declarations, so a wrong layout there cannot hide here.
//
// Tests drive it through the extern "C" fake_quellan_* functions with ctypes
// on the same file: dlopen of that path returns the instance the module uses.
//
// fake_quellan_set_delay_ms(n) makes init, transcribe and uninit sleep n ms, so that
// tests can act while a call is inside the runtime; the fake counts calls that
// overlap (the module must serialise them) and uses of a handle or of init
// strings that were released while the call ran.
//
// Variants (compile-time defines):
//   FAKE_QUELLAN_NO_UNINIT    the library lacks kiv_asr_uninit.
//   FAKE_QUELLAN_MALLOC_HOOK  the library also defines malloc and free; when
//                             preloaded, fake_quellan_fail_copy(n) makes the
//                             n-th allocation after a successful transcribe
//                             fail, to exercise the copy-failure path.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kRecordSize = 1024;

struct Call {
    std::string name;
    std::vector<unsigned char> record;          // init param or input, as received
    std::vector<unsigned char> result_record;   // transcribe: the result record at entry
    std::vector<std::pair<int, std::optional<std::string>>> strings;   // offset -> copy
    uint64_t handle = 0;           // handle argument; for init, *handle at entry
    uint64_t address = 0;          // address of the record (or handle variable) argument
    uint64_t result_address = 0;   // transcribe and free_result: the result record
};

struct TranscribeScript {
    int32_t rc;
    std::optional<std::string> text;
    std::optional<std::string> language;
};

struct Outstanding {
    uint64_t result_address;
    char* text;
    char* language;
};

std::vector<Call> g_calls;
std::deque<std::pair<int32_t, uint64_t>> g_init_script;
std::deque<TranscribeScript> g_transcribe_script;
std::deque<int32_t> g_uninit_script;
std::vector<uint64_t> g_live_handles;
std::vector<Outstanding> g_outstanding;
uint64_t g_next_handle = 0x5100;
int g_free_result_count = 0;
int g_uninit_count = 0;
std::atomic<int> g_delay_ms{0};
std::atomic<int> g_in_flight{0};
std::atomic<int> g_max_in_flight{0};
std::atomic<int> g_released_under_call{0};

// Counts the calls inside the runtime at once; sleeps the scripted delay.
struct InFlight {
    InFlight() {
        const int now = ++g_in_flight;
        int seen = g_max_in_flight.load();
        while (now > seen && !g_max_in_flight.compare_exchange_weak(seen, now)) {}
    }
    ~InFlight() { --g_in_flight; }
    static void pause() {
        if (const int ms = g_delay_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

bool handle_live(uint64_t handle);

void* read_pointer(const unsigned char* record, int offset) {
    void* p;
    std::memcpy(&p, record + offset, sizeof p);
    return p;
}

Call& log_call(const char* name, const void* record, std::initializer_list<int> string_offsets) {
    Call call;
    call.name = name;
    if (record != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(record);
        call.record.assign(bytes, bytes + kRecordSize);
        call.address = reinterpret_cast<uintptr_t>(record);
        for (int offset : string_offsets) {
            const char* s = static_cast<const char*>(read_pointer(bytes, offset));
            call.strings.emplace_back(offset, s ? std::optional<std::string>(s) : std::nullopt);
        }
    }
    g_calls.push_back(std::move(call));
    return g_calls.back();
}

char* heap_string(const std::optional<std::string>& s) {
    if (!s) return nullptr;
    char* copy = static_cast<char*>(std::malloc(s->size() + 1));
    std::memcpy(copy, s->c_str(), s->size() + 1);
    return copy;
}

void poison_and_free(char* s) {
    if (s == nullptr) return;
    std::memset(s, 'X', std::strlen(s));
    std::free(s);
}

const Call* call_at(int i) {
    return i >= 0 && static_cast<size_t>(i) < g_calls.size() ? &g_calls[i] : nullptr;
}

#ifdef FAKE_QUELLAN_MALLOC_HOOK
// Allocation failures on demand, active only between a successful transcribe
// and the matching free_result: there the only allocations are the module's
// copies of the result strings.
using MallocFn = void* (*)(size_t);
using FreeFn = void (*)(void*);
MallocFn g_real_malloc = nullptr;
FreeFn g_real_free = nullptr;
bool g_resolving = false;
alignas(16) unsigned char g_bootstrap[4096];   // serves dlsym while the real malloc is looked up
size_t g_bootstrap_used = 0;
bool g_window = false;
int g_fail_at = 0;              // 1-based allocation in the window that fails, 0 none
int g_window_allocations = 0;
std::vector<void*>* g_window_live = nullptr;   // allocations made in the window, not yet freed
int g_live_copies_at_free = -1;

void resolve_real() {
    g_resolving = true;
    g_real_malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    g_real_free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    g_resolving = false;
}
#endif

}  // namespace

#ifdef FAKE_QUELLAN_MALLOC_HOOK
extern "C" __attribute__((visibility("default"))) void* malloc(size_t size) {
    if (g_real_malloc == nullptr) {
        if (g_resolving) {
            void* p = g_bootstrap + g_bootstrap_used;
            g_bootstrap_used += (size + 15) & ~size_t{15};
            return g_bootstrap_used <= sizeof g_bootstrap ? p : nullptr;
        }
        resolve_real();
    }
    if (!g_window) return g_real_malloc(size);
    if (++g_window_allocations == g_fail_at) return nullptr;
    void* p = g_real_malloc(size);
    g_window_live->push_back(p);
    return p;
}

extern "C" __attribute__((visibility("default"))) void free(void* p) {
    auto* bytes = static_cast<unsigned char*>(p);
    if (p == nullptr || (bytes >= g_bootstrap && bytes < g_bootstrap + sizeof g_bootstrap)) return;
    if (g_window) {
        for (auto it = g_window_live->begin(); it != g_window_live->end(); ++it) {
            if (*it == p) {
                g_window_live->erase(it);
                break;
            }
        }
    }
    if (g_real_free == nullptr) resolve_real();
    g_real_free(p);
}

FAKE_API void fake_quellan_fail_copy(int n) { g_fail_at = n; }
// Copies of the result strings still allocated when free_result was called
// (-1 before any such call).
FAKE_API int fake_quellan_live_copies_at_free(void) { return g_live_copies_at_free; }
#endif

// ------------------------------------------------------------------ entry points

FAKE_API int32_t kiv_asr_init(void** handle, const void* param) {
    InFlight in_flight;
    Call& call = log_call("kiv_asr_init", param, {4, 12, 20, 28});
    if (g_delay_ms.load() != 0 && param != nullptr) {
        // The strings of the record must still be there, unchanged, after the pause.
        const std::vector<std::pair<int, std::optional<std::string>>> before = call.strings;
        InFlight::pause();
        for (const auto& [offset, value] : before) {
            const char* now = static_cast<const char*>(read_pointer(static_cast<const unsigned char*>(param), offset));
            if (value && (now == nullptr || *value != now)) ++g_released_under_call;
        }
    }
    call.handle = handle ? reinterpret_cast<uintptr_t>(*handle) : 0;
    int32_t rc = 0;
    uint64_t created = g_next_handle++;
    if (!g_init_script.empty()) {
        std::tie(rc, created) = g_init_script.front();
        g_init_script.pop_front();
    }
    // The handle is written even on failure: the caller must not take it.
    if (handle != nullptr) *handle = reinterpret_cast<void*>(created);
    if (rc == 0 && created != 0) g_live_handles.push_back(created);
    return rc;
}

FAKE_API int32_t kiv_asr_transcribe(void* handle, const void* input, void* result) {
    InFlight in_flight;
    Call& call = log_call("kiv_asr_transcribe", input, {4, 28, 36});
    call.handle = reinterpret_cast<uintptr_t>(handle);
    InFlight::pause();
    if (!handle_live(reinterpret_cast<uintptr_t>(handle))) ++g_released_under_call;
    call.result_address = reinterpret_cast<uintptr_t>(result);
    const auto* result_bytes = static_cast<const unsigned char*>(result);
    call.result_record.assign(result_bytes, result_bytes + kRecordSize);

    TranscribeScript script{0, std::string("hello"), std::string("en")};
    if (!g_transcribe_script.empty()) {
        script = g_transcribe_script.front();
        g_transcribe_script.pop_front();
    }
    // Strings are written even on failure: the caller must not read them.
    char* text = heap_string(script.text);
    char* language = heap_string(script.language);
    std::memcpy(static_cast<unsigned char*>(result) + 0, &text, sizeof text);
    std::memcpy(static_cast<unsigned char*>(result) + 8, &language, sizeof language);
    g_outstanding.push_back({call.result_address, text, language});
#ifdef FAKE_QUELLAN_MALLOC_HOOK
    if (script.rc == 0 && g_fail_at != 0) {
        if (g_window_live == nullptr) g_window_live = new std::vector<void*>();
        g_window_live->clear();
        g_window_live->reserve(16);
        g_window_allocations = 0;
        g_window = true;
    }
#endif
    return script.rc;
}

FAKE_API void kiv_asr_free_result(void* result) {
#ifdef FAKE_QUELLAN_MALLOC_HOOK
    if (g_window) {
        g_window = false;
        g_fail_at = 0;
        g_live_copies_at_free = static_cast<int>(g_window_live->size());
    }
#endif
    ++g_free_result_count;
    Call& call = log_call("kiv_asr_free_result", nullptr, {});
    call.result_address = reinterpret_cast<uintptr_t>(result);
    for (auto it = g_outstanding.begin(); it != g_outstanding.end(); ++it) {
        if (it->result_address == call.result_address) {
            poison_and_free(it->text);
            poison_and_free(it->language);
            g_outstanding.erase(it);
            break;
        }
    }
}

namespace {
bool handle_live(uint64_t handle) {
    for (uint64_t live : g_live_handles)
        if (live == handle) return true;
    return false;
}
}  // namespace

#ifndef FAKE_QUELLAN_NO_UNINIT
FAKE_API int32_t kiv_asr_uninit(void* handle) {
    InFlight in_flight;
    ++g_uninit_count;
    Call& call = log_call("kiv_asr_uninit", nullptr, {});
    call.handle = reinterpret_cast<uintptr_t>(handle);
    InFlight::pause();
    for (auto it = g_live_handles.begin(); it != g_live_handles.end(); ++it) {
        if (*it == call.handle) {
            g_live_handles.erase(it);
            break;
        }
    }
    int32_t rc = 0;
    if (!g_uninit_script.empty()) {
        rc = g_uninit_script.front();
        g_uninit_script.pop_front();
    }
    return rc;
}
#endif

// ------------------------------------------------------------------- control API

FAKE_API void fake_quellan_reset(void) {
    g_calls.clear();
    g_init_script.clear();
    g_transcribe_script.clear();
    g_uninit_script.clear();
    g_live_handles.clear();
    g_free_result_count = 0;
    g_uninit_count = 0;
    g_delay_ms = 0;
    g_max_in_flight = 0;
    g_released_under_call = 0;
}

FAKE_API void fake_quellan_set_delay_ms(int ms) { g_delay_ms = ms; }
// The most calls that were inside the runtime at one time since the reset.
FAKE_API int fake_quellan_max_in_flight(void) { return g_max_in_flight.load(); }
// Calls that found their handle or their init strings released under them.
FAKE_API int fake_quellan_released_under_call(void) { return g_released_under_call.load(); }

// Scripts the next init: its return code and the handle it writes (0 = NULL).
FAKE_API void fake_quellan_script_init(int32_t rc, uint64_t handle) { g_init_script.emplace_back(rc, handle); }

// Scripts the next transcribe: its return code and result strings (NULL allowed).
FAKE_API void fake_quellan_script_transcribe(int32_t rc, const char* text, const char* language) {
    g_transcribe_script.push_back({rc, text ? std::optional<std::string>(text) : std::nullopt,
                                   language ? std::optional<std::string>(language) : std::nullopt});
}

FAKE_API void fake_quellan_script_uninit(int32_t rc) { g_uninit_script.push_back(rc); }

FAKE_API int fake_quellan_call_count(void) { return static_cast<int>(g_calls.size()); }

FAKE_API const char* fake_quellan_call_name(int i) {
    const Call* c = call_at(i);
    return c ? c->name.c_str() : nullptr;
}

// The 1024 bytes of the record the call received, or NULL when it has none.
FAKE_API const unsigned char* fake_quellan_call_record(int i) {
    const Call* c = call_at(i);
    return c && !c->record.empty() ? c->record.data() : nullptr;
}

FAKE_API const unsigned char* fake_quellan_call_result_record(int i) {
    const Call* c = call_at(i);
    return c && !c->result_record.empty() ? c->result_record.data() : nullptr;
}

// The copy of the string that the record pointed to at `offset`: NULL when the
// pointer was NULL. *found tells whether that offset was captured at all.
FAKE_API const char* fake_quellan_call_string(int i, int offset, int* found) {
    *found = 0;
    const Call* c = call_at(i);
    if (c == nullptr) return nullptr;
    for (const auto& [off, value] : c->strings) {
        if (off == offset) {
            *found = 1;
            return value ? value->c_str() : nullptr;
        }
    }
    return nullptr;
}

FAKE_API uint64_t fake_quellan_call_handle(int i) {
    const Call* c = call_at(i);
    return c ? c->handle : 0;
}

FAKE_API uint64_t fake_quellan_call_address(int i) {
    const Call* c = call_at(i);
    return c ? c->address : 0;
}

FAKE_API uint64_t fake_quellan_call_result_address(int i) {
    const Call* c = call_at(i);
    return c ? c->result_address : 0;
}

FAKE_API int fake_quellan_free_result_count(void) { return g_free_result_count; }
FAKE_API int fake_quellan_uninit_count(void) { return g_uninit_count; }
FAKE_API int fake_quellan_live_handles(void) { return static_cast<int>(g_live_handles.size()); }
FAKE_API int fake_quellan_outstanding_results(void) { return static_cast<int>(g_outstanding.size()); }
