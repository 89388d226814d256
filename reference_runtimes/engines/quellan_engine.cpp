// Speech runtime (libquellan.so) on PocketSphinx.
//
// Honours the binary interface of the device's speech runtime with a real
// recogniser: kiv_asr_init loads an acoustic model directory (model_path), a
// pronunciation dictionary (tokenizer_path) and a language model
// (decoder_path), with PocketSphinx options in extra_json;
// kiv_asr_transcribe decodes a WAV file of any rate and channel count.
// ../README.md (section "Real engines") gives the rules and return codes.

#include <pocketsphinx.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio.h"
#include "engine_common.h"
#include "quellan/quellan_records.h"

namespace {

// Non-zero results of the entry points (1 to 5 as in the deterministic runtime).
enum : int32_t {
    kInvalidArgument = 1,  // NULL handle, record or path, unknown kind, model type or task, bad options
    kFileNotFound = 2,     // a model directory, dictionary, language model or audio file that does not exist
    kBadAudio = 3,         // not a WAV file libsndfile can decode
    kInternalError = 5,    // out of memory, a decoder failure
    kModelUnusable = 6,    // model files that exist but that the engine cannot load
};

struct ConfigDeleter {
    void operator()(ps_config_t* c) const { ps_config_free(c); }
};
struct DecoderDeleter {
    void operator()(ps_decoder_t* d) const { ps_free(d); }
};

struct Recogniser {
    std::unique_ptr<ps_decoder_t, DecoderDeleter> decoder;
    int rate = 16000;
    std::mutex mutex;  // one utterance at a time per decoder
};

std::mutex g_mutex;
std::unordered_map<const void*, std::shared_ptr<Recogniser>> g_handles;

// The recogniser of a live handle, shared: one released meanwhile by
// kiv_asr_uninit stays alive until the call using it returns.
std::shared_ptr<Recogniser> find(const void* handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handles.find(handle);
    return it == g_handles.end() ? nullptr : it->second;
}

bool exists(const char* path) {
    struct stat st;
    return path != nullptr && *path != '\0' && ::stat(path, &st) == 0;
}

bool is_directory(const char* path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

char* dup_string(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

int32_t create(const KIV_ASRInitParam& param, Recogniser& rec) {
    // The record is packed: read its pointers into locals first.
    const char* model = param.model_path;
    const char* dict = param.tokenizer_path;
    const char* lm = param.decoder_path;
    const char* extra = param.extra_json;
    if (param.model_type != 0 && param.model_type != 1) return kInvalidArgument;
    if (model == nullptr || dict == nullptr) return kInvalidArgument;
    if (!exists(model) || !exists(dict) || (lm != nullptr && !exists(lm))) return kFileNotFound;
    if (!is_directory(model)) return kModelUnusable;

    std::unique_ptr<ps_config_t, ConfigDeleter> config(ps_config_init(nullptr));
    if (!config) return kInternalError;
    ps_config_set_str(config.get(), "loglevel", kiveng::engine_log_enabled() ? "INFO" : "ERROR");
    ps_config_set_str(config.get(), "hmm", model);
    ps_config_set_str(config.get(), "dict", dict);
    if (lm != nullptr) ps_config_set_str(config.get(), "lm", lm);
    if (extra != nullptr && ps_config_parse_json(config.get(), extra) == nullptr) return kInvalidArgument;

    rec.decoder.reset(ps_init(config.get()));
    if (!rec.decoder) return kModelUnusable;
    rec.rate = static_cast<int>(ps_config_int(config.get(), "samprate"));
    return 0;
}

int32_t transcribe(Recogniser& rec, const KIV_ASRInput& input, std::string& text) {
    const char* wav = input.wav_path;
    const char* task = input.task;
    if (input.kind != 0 || wav == nullptr || *wav == '\0') return kInvalidArgument;
    if (task != nullptr && *task != '\0' && std::strcmp(task, "transcribe") != 0 && std::strcmp(task, "translate") != 0)
        return kInvalidArgument;
    if (!kivref::is_regular_file(wav)) return kFileNotFound;

    std::vector<int16_t> samples;
    if (!kiveng::read_wav_mono(wav, rec.rate, samples)) return kBadAudio;

    std::lock_guard<std::mutex> lock(rec.mutex);
    ps_decoder_t* ps = rec.decoder.get();
    if (ps_start_utt(ps) < 0) return kInternalError;
    if (!samples.empty() && ps_process_raw(ps, samples.data(), samples.size(), FALSE, TRUE) < 0) {
        ps_end_utt(ps);
        return kInternalError;
    }
    if (ps_end_utt(ps) < 0) return kInternalError;
    const char* hyp = ps_get_hyp(ps, nullptr);
    text = hyp ? hyp : "";
    return 0;
}

}  // namespace

KIV_REFERENCE_EXPORT int32_t kiv_asr_init(void** handle, const KIV_ASRInitParam* param) {
    try {
        if (handle == nullptr || param == nullptr) return kInvalidArgument;
        auto rec = std::make_shared<Recogniser>();
        if (int32_t rc = create(*param, *rec)) return rc;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_handles.emplace(rec.get(), rec);
        }
        *handle = rec.get();
        return 0;
    } catch (...) {
        return kInternalError;
    }
}

KIV_REFERENCE_EXPORT int32_t kiv_asr_transcribe(void* handle, const KIV_ASRInput* input, KIV_ASRResult* result) {
    try {
        std::shared_ptr<Recogniser> rec = find(handle);
        if (input == nullptr || result == nullptr || !rec) return kInvalidArgument;
        std::string text;
        if (int32_t rc = transcribe(*rec, *input, text)) return rc;
        // The model is English: that is the language of every transcript.
        char* t = dup_string(text);
        char* l = dup_string("en");
        if (t == nullptr || l == nullptr) {
            std::free(t);
            std::free(l);
            return kInternalError;
        }
        result->text = t;
        result->language = l;
        return 0;
    } catch (...) {
        return kInternalError;
    }
}

// Accepts the record of a failed call (its strings are NULL) and a record
// released before: the strings are freed once and the fields set to NULL.
KIV_REFERENCE_EXPORT void kiv_asr_free_result(KIV_ASRResult* result) {
    if (result == nullptr) return;
    std::free(const_cast<char*>(result->text));
    std::free(const_cast<char*>(result->language));
    result->text = nullptr;
    result->language = nullptr;
}

KIV_REFERENCE_EXPORT int32_t kiv_asr_uninit(void* handle) {
    std::shared_ptr<Recogniser> released;   // freed here, or by the last call still using it
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = handle == nullptr ? g_handles.end() : g_handles.find(handle);
        if (it == g_handles.end()) return kInvalidArgument;
        released = std::move(it->second);
        g_handles.erase(it);
    }
    return 0;
}
