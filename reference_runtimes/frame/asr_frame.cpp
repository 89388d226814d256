#include "frame/asr_frame.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "frame/runtime_util.h"

namespace kivrt {

int32_t check_transcription(const KIV_ASRInput& input) {
    // The record is packed: read its pointers into locals first.
    const char* wav = input.wav_path;
    const char* task = input.task;
    if (input.kind != 0 || wav == nullptr || *wav == '\0') return kAsrInvalidArgument;
    if (task != nullptr && *task != '\0' && std::strcmp(task, "transcribe") != 0 && std::strcmp(task, "translate") != 0)
        return kAsrInvalidArgument;
    if (!is_regular_file(wav)) return kAsrFileNotFound;
    return 0;
}

}  // namespace kivrt

namespace {

std::mutex g_mutex;
std::unordered_map<const void*, std::shared_ptr<kivrt::Recogniser>> g_handles;

// The recogniser of a live handle, shared: one released meanwhile by
// kiv_asr_uninit stays alive until the call using it returns.
std::shared_ptr<kivrt::Recogniser> find(const void* handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handles.find(handle);
    return it == g_handles.end() ? nullptr : it->second;
}

char* dup_string(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

KIV_RUNTIME_EXPORT int32_t kiv_asr_init(void** handle, const KIV_ASRInitParam* param) {
    try {
        if (handle == nullptr || param == nullptr) return kivrt::kAsrInvalidArgument;
        if (param->model_type != 0 && param->model_type != 1) return kivrt::kAsrInvalidArgument;
        int32_t rc = kivrt::kAsrInternalError;
        std::shared_ptr<kivrt::Recogniser> rec = kivrt::make_recogniser(*param, rc);
        if (!rec) return rc;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_handles.emplace(rec.get(), rec);
        }
        *handle = rec.get();
        return 0;
    } catch (...) {
        return kivrt::kAsrInternalError;
    }
}

KIV_RUNTIME_EXPORT int32_t kiv_asr_transcribe(void* handle, const KIV_ASRInput* input, KIV_ASRResult* result) {
    try {
        std::shared_ptr<kivrt::Recogniser> rec = find(handle);
        if (input == nullptr || result == nullptr || !rec) return kivrt::kAsrInvalidArgument;
        std::string text, language;
        if (int32_t rc = rec->transcribe(*input, text, language)) return rc;
        char* t = dup_string(text);
        char* l = dup_string(language);
        if (t == nullptr || l == nullptr) {
            std::free(t);
            std::free(l);
            return kivrt::kAsrInternalError;
        }
        result->text = t;
        result->language = l;
        return 0;
    } catch (...) {
        return kivrt::kAsrInternalError;
    }
}

// Accepts the record of a failed call (its strings are NULL) and a record
// released before: the strings are freed once and the fields set to NULL.
KIV_RUNTIME_EXPORT void kiv_asr_free_result(KIV_ASRResult* result) {
    if (result == nullptr) return;
    std::free(const_cast<char*>(result->text));
    std::free(const_cast<char*>(result->language));
    result->text = nullptr;
    result->language = nullptr;
}

KIV_RUNTIME_EXPORT int32_t kiv_asr_uninit(void* handle) {
    std::shared_ptr<kivrt::Recogniser> released;  // freed here, or by the last call still using it
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = handle == nullptr ? g_handles.end() : g_handles.find(handle);
        if (it == g_handles.end()) return kivrt::kAsrInvalidArgument;
        released = std::move(it->second);
        g_handles.erase(it);
    }
    return 0;
}
