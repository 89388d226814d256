// The LLM runtime's entry points, opened with dlopen. One list names every
// entry point once; the table, the dlsym loop, the reset and the exported
// shims are all generated from it, so their slot order cannot drift.
#pragma once

#include "../common/export.h"
#include "velkor_records.h"

// X(name, parameter list, argument list), in slot order.
#define VELKOR_ENTRY_POINTS(X)                                                                  \
    X(kiv_llm_init, (LLMContext * handle, const KIV_LLMInitParam* param,                        \
                     KIV_LLMResultCallback callback),                                           \
      (handle, param, callback))                                                                \
    X(kiv_llm_uninit, (LLMContext handle), (handle))                                            \
    X(kiv_llm_run, (LLMContext handle, const KIV_LLMInput* input, const KIV_LLMRunParam* param, \
                    void* userdata),                                                            \
      (handle, input, param, userdata))                                                         \
    X(kiv_llm_reset, (LLMContext handle), (handle))                                             \
    X(kiv_llm_break, (LLMContext handle), (handle))                                             \
    X(kiv_llm_set_chat_template, (LLMContext handle, const char* system_prompt,                 \
                                  const char* prompt_prefix, const char* prompt_postfix),       \
      (handle, system_prompt, prompt_prefix, prompt_postfix))                                   \
    X(kiv_llm_set_chat_template_jinja, (LLMContext handle, const char* jinja_template),         \
      (handle, jinja_template))                                                                 \
    X(kiv_llm_set_toolcall_callback, (LLMContext handle, KIV_LLMToolCallCallback callback,      \
                                      int32_t stop_output),                                     \
      (handle, callback, stop_output))                                                          \
    X(kiv_llm_get_vision_info, (LLMContext handle, KIV_LLMVisionInfo* info), (handle, info))

// The shims: the runtime's own names, forwarding through the table; each
// returns 1 when its entry point is not loaded.
#define KIV_DECLARE_SHIM(name, params, args) KIV_EXPORT KIV_LLMRetStatus name params;
VELKOR_ENTRY_POINTS(KIV_DECLARE_SHIM)
#undef KIV_DECLARE_SHIM

// Opens the library at `path` and resolves every entry point, all or nothing.
// Returns 0 when loaded (now or before), -1 on failure with one line on stderr.
KIV_EXPORT int load_velkor_func(const char* path);
// Closes the library and empties the table; safe in any state.
KIV_EXPORT void unload_velkor_func(void);
