// Declarations shared by the files of the _velkor module, in one section per
// file that defines them. The registry of runs in progress has a header of
// its own (velkor_run_registry.h), the entry points too (velkor_loader.h).
#pragma once

#include "../common/busy_mark.h"
#include "../common/conversions.h"
#include "../common/native_function.h"
#include "../common/py_ref.h"
#include "velkor_loader.h"
#include "velkor_run_registry.h"

namespace velkor {

using kiv::Ref;

// ---- the module: set-up and process-wide state (velkor_module.cpp) ----

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

// ---- the VELKOR object: life cycle and the one-call methods (velkor_object.cpp) ----

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
    kiv::BusyField busy;     // a Busy value: the call in progress that others must not race
    bool break_pending;      // interrupt() came during the current run: repeat it at its next callback
    uint64_t sigint_walk;    // the last SIGINT chain walk that visited this object
};

inline VelkorObject* as_velkor(PyObject* o) { return reinterpret_cast<VelkorObject*>(o); }

// What an object is busy with. Each of these may release the interpreter
// lock, so while one is in progress the other methods (interrupt() during a
// run aside) refuse with RuntimeError instead of racing it.
enum Busy : kiv::BusyState { kBusyInit = 1, kBusyRun, kBusyUninit, kBusyReset };

// "VELKOR.run() is in progress on this object; ..." and the like; for an
// orphaned object (busy_mark.h), "VELKOR.run() was in progress on this
// object when the process forked; ...".
const char* busy_refusal(kiv::BusyState in_progress, bool orphaned);

// Marks the object busy with `what` from enter() on. A busy object is
// reported before a missing context.
inline kiv::BusyMark busy_mark(VelkorObject* self, Busy what) { return {self->busy, what, busy_refusal}; }

// Builds the VELKOR class with its methods.
int add_velkor_type(PyObject* module);

// Precondition checks shared by the methods; each raises RuntimeError.
bool require_context(VelkorObject* self);
// Not busy, then a context, in that order (an object can be without context
// because a call in progress took it off): what a method checks right before
// a runtime call.
bool ready_for_call(VelkorObject* self);

// Wraps a runtime return code as RetStatus(rc).
PyObject* ret_status(KIV_LLMRetStatus rc);

// Releases the object's context as uninit() does: the handle is taken off
// the object first, then released with the interpreter lock released (a
// runtime may join its own threads there), then the callables are dropped.
KIV_LLMRetStatus release_context(VelkorObject* self);

// ---- the SIGINT chain (velkor_sigint.cpp) ----

extern const kiv::FunctionSpec install_sigint_spec;
extern const kiv::FunctionSpec restore_sigint_spec;
extern const kiv::FunctionSpec signal_handler_spec;

// ---- init() (velkor_init.cpp) ----

extern const kiv::FunctionSpec init_spec;

// Turns any accepted sampling mode into the runtime's value; false with an
// exception set otherwise.
bool normalize_sampling_mode(PyObject* value, KIV_LLMSamplingMode* out);

// json.dumps(value, ensure_ascii=False) as UTF-8 bytes, json looked up now.
Ref json_text(PyObject* value);

// ---- run() (velkor_run.cpp) ----

extern const kiv::FunctionSpec run_spec;

// Fresh per-run collectors, `userdata` stored, the status and interrupted
// flag cleared (construction and the start of every run).
bool reset_collectors(VelkorObject* self, PyObject* userdata);

// ---- the native callbacks handed to the runtime (velkor_bridges.cpp) ----

extern "C" void velkor_result_bridge(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state);
extern "C" void velkor_tool_bridge(const char* name, const char* arguments, void* userdata);

// ---- as_rgb888(), a module-level function (velkor_images.cpp) ----

extern const kiv::FunctionSpec as_rgb888_spec;

}  // namespace velkor
