// Declarations shared by the files of the _velkor module: the module state,
// the VELKOR object and the entry points of each concern.
#pragma once

#include "../common/conversions.h"
#include "../common/native_function.h"
#include "../common/py_ref.h"
#include "velkor_loader.h"

namespace velkor {

using kiv::Ref;

// Process-wide state of the module (one interpreter per process).
struct ModuleState {
    PyObject* module = nullptr;          // strong
    PyObject* globals = nullptr;         // the module's dict (kept by module)
    PyTypeObject* velkor_type = nullptr; // strong
    PyObject* enum_type = nullptr;       // enum.EnumType, strong
    long long velkor_loaded = 0;         // objects holding the library open

    // Interned names, created once at import.
    PyObject* s_RunStatus = nullptr;
    PyObject* s_Result = nullptr;
    PyObject* s_RetStatus = nullptr;
    PyObject* s_SamplingMode = nullptr;
    PyObject* s_RunMode = nullptr;
    PyObject* s_sampling_map = nullptr;
    PyObject* s_as_rgb888 = nullptr;
    PyObject* s_json = nullptr;
    PyObject* s_np = nullptr;
    PyObject* s_signal = nullptr;
    PyObject* s_threading = nullptr;
    PyObject* s_os = nullptr;
    PyObject* s_Path = nullptr;
    PyObject* s_file = nullptr;
    PyObject* s_interrupt = nullptr;
    PyObject* s_value = nullptr;
    PyObject* s_ERROR = nullptr;
    PyObject* s_SUCCESS = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_arguments = nullptr;
    PyObject* result_kwnames = nullptr;  // ("text", "token_id", "content_type")
    PyObject* dumps_kwnames = nullptr;   // ("ensure_ascii",)
    PyObject* result_keys[7] = {};       // the keys of run()'s dict, in order
    PyObject* bridge_context = nullptr;
    PyObject* tool_bridge_context = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* signal_handler_fn = nullptr;  // VELKOR.signal_handler as defined by the class
};

extern ModuleState g_state;

// The value bound to a module-level name now (rebinding takes effect at once);
// NameError when it is missing.
Ref global(PyObject* name);

struct VelkorObject {
    PyObject_HEAD
    LLMContext ctx;
    PyObject* on_token;
    PyObject* on_tool_call;
    PyObject* userdata;
    PyObject* text_pieces;
    PyObject* reasoning_pieces;
    PyObject* tool_text_pieces;
    PyObject* token_ids;
    PyObject* tool_calls;
    PyObject* last_status;
    PyObject* interrupted;
    PyObject* prev_sigint_handler;
    PyObject* vision_metadata;
    PyObject* mmproj_loaded;
    bool holds_library;      // this object counts in velkor_loaded
    uint8_t busy;            // a Busy value: the call in progress that others must not race
    bool break_pending;      // interrupt() came during the current run: repeat it at its next callback
    uint64_t sigint_walk;    // the last SIGINT chain walk that visited this object
};

// What an object is busy with. Each of these may release the interpreter
// lock, so while one is in progress the other methods (interrupt() during a
// run aside) refuse with RuntimeError instead of racing it.
enum Busy : uint8_t { kIdle, kBusyInit, kBusyRun, kBusyUninit, kBusyReset };

// Marks the object busy for the scope; refuses (false, RuntimeError set) when
// it already is. A busy object is reported before a missing context.
class BusyScope {
public:
    BusyScope(VelkorObject* self, Busy what) noexcept : self_(self), held_(false), what_(what) {}
    bool enter();
    // Ends it before the scope does (the result is built with the object idle).
    // A break remembered for a run ends with it.
    void leave() noexcept {
        if (held_) {
            self_->busy = kIdle;
            self_->break_pending = false;
        }
        held_ = false;
    }
    ~BusyScope() { leave(); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    VelkorObject* self_;
    bool held_;
    Busy what_;
};

// Builds the VELKOR class with its methods; `defaults_source` is the module.
int add_velkor_type(PyObject* module);

// Precondition checks shared by the methods; each raises RuntimeError.
// Busy is checked first: an object can be without context because a call in
// progress took it off.
bool require_context(VelkorObject* self);
bool refuse_while_busy(VelkorObject* self);
// Both, in that order: what a method checks right before a runtime call.
bool ready_for_call(VelkorObject* self);

// Wraps a runtime return code as RetStatus(rc).
PyObject* ret_status(KIV_LLMRetStatus rc);

// Fresh per-run collectors, `userdata` stored, the status and interrupted
// flag cleared (construction and the start of every run).
bool reset_collectors(VelkorObject* self, PyObject* userdata);

// Releases the object's context as uninit() does: the handle is taken off
// the object first, then released with the interpreter lock released (a
// runtime may join its own threads there), then the callables are dropped.
KIV_LLMRetStatus release_context(VelkorObject* self);

// ---- runs in progress (velkor_runs.cpp) ----
//
// The bridges receive the object as a bare pointer. A runtime may call back
// on any thread, even after its run returned, for an object that may since be
// gone; so a run is registered while it is in progress, and a callback enters
// Python only for a registered run, pinning it until the callback is done.
// The check takes no lock, so a callback that is dropped never waits for the
// interpreter lock.
struct RunSlot;
// Registers a run about to start (interpreter lock held); NULL with
// MemoryError set when there is no memory for it.
RunSlot* register_run(VelkorObject* self, LLMContext ctx);
// Ends the registration once kiv_llm_run has returned, and waits until no
// callback for it is in flight (call with the interpreter lock released).
void unregister_run(RunSlot* slot);
// Registers the module's exit hook, which also waits for admitted callbacks.
bool register_exit_hook();

// A callback's admission: it may run Python code (interpreter lock taken
// through the GIL-state calls) only when `admitted()`. Otherwise the callback
// returns at once: its userdata has no run in progress (reported once on
// stderr), or the interpreter is ending (the run is then asked to stop).
class CallbackAdmission {
public:
    explicit CallbackAdmission(void* userdata) noexcept;
    ~CallbackAdmission();
    bool admitted() const noexcept { return admitted_; }
    CallbackAdmission(const CallbackAdmission&) = delete;
    CallbackAdmission& operator=(const CallbackAdmission&) = delete;

private:
    RunSlot* slot_ = nullptr;
    bool admitted_ = false;
};

// Method implementations living in other files.
PyObject* velkor_init(PyObject* self, kiv::BoundArgs args);
PyObject* velkor_run(PyObject* self, kiv::BoundArgs args);
bool populate_vision_metadata(VelkorObject* self, LLMContext ctx);
// Turns any accepted sampling mode into the runtime's value; false with an
// exception set otherwise.
bool normalize_sampling_mode(PyObject* value, KIV_LLMSamplingMode* out);

// json.dumps(value, ensure_ascii=False) as UTF-8 bytes, json looked up now.
Ref json_text(PyObject* value);

// The native callbacks handed to the runtime.
extern "C" void velkor_result_bridge(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state);
extern "C" void velkor_tool_bridge(const char* name, const char* arguments, void* userdata);

// as_rgb888 (module-level function).
PyObject* as_rgb888_impl(PyObject* module, kiv::BoundArgs args);
extern const kiv::FunctionSpec as_rgb888_spec;
extern const kiv::FunctionSpec init_spec;
extern const kiv::FunctionSpec run_spec;

}  // namespace velkor
