#include "quellan_loader.h"

#include "../common/dynamic_library.h"

#include <cstdlib>
#include <cstring>

namespace {

struct EntryTable {
#define KIV_TABLE_SLOT(name) decltype(&quellan_runtime::name) name;
    QUELLAN_ENTRY_POINTS(KIV_TABLE_SLOT)
#undef KIV_TABLE_SLOT
};
static_assert(sizeof(EntryTable) == 32);

constexpr const char* kNames[] = {
#define KIV_SLOT_NAME(name) #name,
    QUELLAN_ENTRY_POINTS(KIV_SLOT_NAME)
#undef KIV_SLOT_NAME
};

kiv::RuntimeLibrary<EntryTable> s_runtime;

// A heap copy of a runtime-owned string; a NULL source becomes "". NULL only
// when memory runs out.
char* DupCString(const char* source) {
    if (source == nullptr) source = "";
    const size_t size = std::strlen(source) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, source, size);
    return copy;
}

}  // namespace

int load_quellan_func(const char* path) { return s_runtime.load(path, "[QUELLAN_FUNC]", kNames); }

void unload_quellan_func(void) { s_runtime.unload(); }

int quellan_init(KIV_ASRHandle* handle, int32_t model_type, const char* model_path,
                 const char* decoder_path, const char* tokenizer_path, const char* extra_json) {
    if (s_runtime->kiv_asr_init == nullptr || handle == nullptr) return 1;
    KIV_ASRInitParam param{};
    param.model_type = model_type;
    param.model_path = model_path;
    param.decoder_path = decoder_path;
    param.tokenizer_path = tokenizer_path;
    param.extra_json = extra_json;
    KIV_ASRHandle created = nullptr;
    // The runtime's own failure code is not passed on: every failure is 1.
    if (s_runtime->kiv_asr_init(&created, &param) != KIV_ASR_SUCCESS || created == nullptr) return 1;
    *handle = created;
    return 0;
}

int quellan_transcribe_file(KIV_ASRHandle handle, const char* wav_path, const char* language,
                            const char* task, char** out_text, char** out_language) {
    if (s_runtime->kiv_asr_transcribe == nullptr || s_runtime->kiv_asr_free_result == nullptr ||
        handle == nullptr || wav_path == nullptr || out_text == nullptr || out_language == nullptr) {
        return 1;
    }
    *out_text = nullptr;
    *out_language = nullptr;
    KIV_ASRInput input{};
    input.kind = 0;
    input.wav_path = wav_path;
    input.language = language;
    input.task = task;
    KIV_ASRResult result{};
    if (s_runtime->kiv_asr_transcribe(handle, &input, &result) != KIV_ASR_SUCCESS) {
        s_runtime->kiv_asr_free_result(&result);
        return 1;
    }
    // The runtime's strings stay valid only until its result is released.
    char* text = DupCString(result.text);
    char* language_copy = DupCString(result.language);
    if (text == nullptr || language_copy == nullptr) {
        quellan_free_cstr(text);
        quellan_free_cstr(language_copy);
        s_runtime->kiv_asr_free_result(&result);
        return 1;
    }
    s_runtime->kiv_asr_free_result(&result);
    *out_text = text;
    *out_language = language_copy;
    return 0;
}

int quellan_uninit(KIV_ASRHandle handle) {
    if (s_runtime->kiv_asr_uninit == nullptr) return 1;
    return s_runtime->kiv_asr_uninit(handle);
}

void quellan_free_cstr(char* s) { std::free(s); }
