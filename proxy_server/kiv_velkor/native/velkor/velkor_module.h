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
    bool run_in_progress;    // a thread is inside kiv_llm_run for this object
};

// Builds the VELKOR class with its methods; `defaults_source` is the module.
int add_velkor_type(PyObject* module);

// Precondition checks shared by the methods; each raises RuntimeError.
bool require_context(VelkorObject* self);
bool refuse_while_running(VelkorObject* self);

// Wraps a runtime return code as RetStatus(rc).
PyObject* ret_status(KIV_LLMRetStatus rc);

// Fresh per-run collectors, `userdata` stored, the status and interrupted
// flag cleared (construction and the start of every run).
bool reset_collectors(VelkorObject* self, PyObject* userdata);

// Releases the object's context as uninit() does.
KIV_LLMRetStatus release_context(VelkorObject* self);

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
// Marks the interpreter as shutting down, so threads that exit later do not
// touch it.
void note_interpreter_shutdown();

// as_rgb888 (module-level function).
PyObject* as_rgb888_impl(PyObject* module, kiv::BoundArgs args);
extern const kiv::FunctionSpec as_rgb888_spec;
extern const kiv::FunctionSpec init_spec;
extern const kiv::FunctionSpec run_spec;

}  // namespace velkor
