// The registry of runs in progress (velkor_run_registry.cpp), and the
// admission of the runtime's callbacks into Python.
//
// The bridges receive the object as a bare pointer. A runtime may call back
// on any thread, even after its run returned, for an object that may since be
// gone; so a run is registered while it is in progress, and a callback enters
// Python only for a registered run, pinning it until the callback is done.
// The check takes no lock, so a callback that is dropped never waits for the
// interpreter lock.
#pragma once

#include "velkor_records.h"

namespace velkor {

struct VelkorObject;
struct RunSlot;

// Registers a run about to start (interpreter lock held); NULL with
// MemoryError set when there is no memory for it.
RunSlot* register_run(VelkorObject* self, LLMContext ctx);
// Ends the registration once kiv_llm_run has returned, and waits until no
// callback for it is in flight (call with the interpreter lock released).
void unregister_run(RunSlot* slot);
// Registers the module's exit hook, which also waits for admitted callbacks,
// and its at-fork child handler, which forgets the parent's runs.
bool register_process_hooks();

// A callback's admission: it may run Python code (interpreter lock taken
// with kiv::AcquireGil) only when `admitted()`: its run is registered and
// kiv::may_enter_python() says so. Otherwise the callback returns at once:
// its userdata has no run in progress (reported once on stderr), or the
// interpreter is ending (the run is then asked to stop).
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

}  // namespace velkor
