// Reference speech runtime (libquellan.so).
//
// Honours the binary interface of the device's speech runtime. It really
// decodes the WAV file (with libsndfile), so malformed audio fails as it
// would on the device, but the transcript is deterministic: the text of a
// sidecar file beside the WAV, or else a short description of the audio.
// README.md beside this file gives the rules and the return codes.

#include <sndfile.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <chrono>
#include <optional>
#include <unordered_set>
#include <vector>

#include "quellan/quellan_records.h"
#include "reference_common.h"

namespace {

// Non-zero results of the entry points.
enum : int32_t {
    kInvalidArgument = 1,  // NULL handle or record, unknown kind, model type, task or bad options
    kFileNotFound = 2,     // a model, tokenizer, decoder or audio file that does not exist
    kBadAudio = 3,         // not a WAV file libsndfile can decode
    kBadTranscript = 4,    // a sidecar transcript that cannot be read or is not UTF-8
    kInternalError = 5,    // out of memory and the like
};

struct Recogniser {
    int32_t model_type = 0;
};

std::mutex g_mutex;
std::unordered_set<const void*> g_handles;

bool is_live(const void* handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return handle != nullptr && g_handles.count(handle) != 0;
}

char* dup_string(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// "speech.wav" -> "speech.txt"; a name without extension gets ".txt" added.
std::string sidecar_path(const std::string& wav) {
    const size_t slash = wav.rfind('/');
    const size_t dot = wav.rfind('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_ext ? wav.substr(0, dot) : wav) + ".txt";
}

struct Audio {
    int64_t frames = 0;
    int rate = 0;
    int channels = 0;
};

// Decodes every frame, so a file whose header parses but whose data does not
// fails here as well.
int32_t decode(const char* path, Audio& audio) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) return kBadAudio;
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if ((major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64) ||
        info.samplerate <= 0 || info.channels <= 0)
        return kBadAudio;
    std::vector<float> buffer(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(file, buffer.data(), 4096)) > 0) audio.frames += n;
    if (sf_error(file) != SF_ERR_NO_ERROR) return kBadAudio;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    return 0;
}

// "1.50 seconds of audio, 16000 Hz, 1 channel." (formatted without the locale)
std::string describe(const Audio& a) {
    const long long centis = std::llround(static_cast<double>(a.frames) * 100.0 / a.rate);
    char cs[4];
    std::snprintf(cs, sizeof cs, "%02lld", centis % 100);
    return std::to_string(centis / 100) + "." + cs + " seconds of audio, " + std::to_string(a.rate) + " Hz, " +
           std::to_string(a.channels) + (a.channels == 1 ? " channel." : " channels.");
}

int32_t transcribe(const KIV_ASRInput& input, std::string& text, std::string& language) {
    if (input.kind != 0 || input.wav_path == nullptr || *input.wav_path == '\0') return kInvalidArgument;
    const std::string task = input.task ? input.task : "";
    if (!task.empty() && task != "transcribe" && task != "translate") return kInvalidArgument;
    if (!kivref::is_regular_file(input.wav_path)) return kFileNotFound;

    Audio audio;
    if (int32_t rc = decode(input.wav_path, audio)) return rc;

    const std::string sidecar = sidecar_path(input.wav_path);
    if (kivref::is_regular_file(sidecar.c_str())) {
        std::optional<std::string> content = kivref::read_file(sidecar);
        if (!content || !kivref::valid_utf8(*content)) return kBadTranscript;
        text = kivref::trim(*content);
    } else {
        text = describe(audio);
    }

    const std::string requested = input.language ? input.language : "";
    if (task == "translate" || requested.empty() || requested == "auto")
        language = "en";
    else
        language = requested;
    // Nothing is translated: the mark shows the caller which task reached the runtime.
    if (task == "translate") text = "[translate] " + text;
    return 0;
}

}  // namespace

KIV_REFERENCE_EXPORT int32_t kiv_asr_init(void** handle, const KIV_ASRInitParam* param) {
    try {
        if (handle == nullptr || param == nullptr) return kInvalidArgument;
        if (param->model_type != 0 && param->model_type != 1) return kInvalidArgument;
        // The model and tokenizer may be any existing files; their content is not read.
        if (!kivref::is_regular_file(param->model_path)) return kFileNotFound;
        if (param->tokenizer_path && !kivref::is_regular_file(param->tokenizer_path)) return kFileNotFound;
        if (param->decoder_path && !kivref::is_regular_file(param->decoder_path)) return kFileNotFound;
        // The record is packed: read its pointers into locals before passing them on.
        if (const char* extra_json = param->extra_json) {
            nlohmann::json extra = nlohmann::json::parse(extra_json, nullptr, false);
            if (!extra.is_object()) return kInvalidArgument;
        }
        auto* rec = new Recogniser{param->model_type};
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_handles.insert(rec);
        }
        *handle = rec;
        return 0;
    } catch (...) {
        return kInternalError;
    }
}

KIV_REFERENCE_EXPORT int32_t kiv_asr_transcribe(void* handle, const KIV_ASRInput* input, KIV_ASRResult* result) {
    try {
        if (input == nullptr || result == nullptr || !is_live(handle)) return kInvalidArgument;
        // Stands in for the device's decoding time (the benchmarks and the
        // server's tests use it).
        if (const std::optional<long> ms = kivref::env_non_negative("KIV_REFERENCE_ASR_DELAY_MS"); ms && *ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
        std::string text, language;
        if (int32_t rc = transcribe(*input, text, language)) return rc;
        char* t = dup_string(text);
        char* l = dup_string(language);
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
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (handle == nullptr || g_handles.erase(handle) == 0) return kInvalidArgument;
    }
    delete static_cast<Recogniser*>(handle);
    return 0;
}
