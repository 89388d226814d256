// The speech runtime's entry points, opened with dlopen. One list names every
// entry point once; the table, the dlsym loop and the reset are generated
// from it, so the slot order cannot drift. The shims below are this module's
// own exported functions; the runtime's names are never defined here.
#pragma once

#include "../common/export.h"
#include "quellan_records.h"

#include <cstdint>

// The runtime's opaque recogniser handle.
typedef void* KIV_ASRHandle;

// The runtime's entry points as this module calls them. Only declared, so
// their types can be taken with decltype; the module defines and exports no
// symbol of these names (those belong to the runtime library).
namespace quellan_runtime {
int32_t kiv_asr_init(KIV_ASRHandle* handle, const KIV_ASRInitParam* param);
int32_t kiv_asr_transcribe(KIV_ASRHandle handle, const KIV_ASRInput* input, KIV_ASRResult* result);
void kiv_asr_free_result(KIV_ASRResult* result);
int32_t kiv_asr_uninit(KIV_ASRHandle handle);
}  // namespace quellan_runtime

// X(name), in slot order.
#define QUELLAN_ENTRY_POINTS(X) \
    X(kiv_asr_init)             \
    X(kiv_asr_transcribe)       \
    X(kiv_asr_free_result)      \
    X(kiv_asr_uninit)

// Opens the library at `path` and resolves every entry point, all or nothing.
// Returns 0 when loaded (now or before), -1 on failure with one line on stderr.
KIV_EXPORT int load_quellan_func(const char* path);
// Closes the library and empties the table; safe in any state.
KIV_EXPORT void unload_quellan_func(void);

// Creates a recogniser. Returns 0 and sets *handle on success; 1 on any
// failure (entry point missing, runtime refusal, no handle), *handle untouched.
KIV_EXPORT int quellan_init(KIV_ASRHandle* handle, int32_t model_type, const char* model_path,
                            const char* decoder_path, const char* tokenizer_path,
                            const char* extra_json);

// Transcribes a wav file. Returns 0 with two heap strings (never NULL) in
// *out_text and *out_language, to be released with quellan_free_cstr; 1 on
// failure with both outputs NULL (or untouched when an argument is missing).
// The runtime's result is released exactly once after every runtime call.
KIV_EXPORT int quellan_transcribe_file(KIV_ASRHandle handle, const char* wav_path,
                                       const char* language, const char* task, char** out_text,
                                       char** out_language);

// Releases a recogniser: the runtime's own result, or 1 when not loaded.
KIV_EXPORT int quellan_uninit(KIV_ASRHandle handle);

// Releases a string from quellan_transcribe_file; NULL is allowed.
KIV_EXPORT void quellan_free_cstr(char* s);
