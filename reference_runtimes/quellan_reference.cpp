// Reference speech runtime (libquellan.so).
//
// Honours the binary interface of the device's speech runtime. It really
// decodes the WAV file (with libsndfile), so malformed audio fails as it
// would on the device, but the transcript is deterministic: the text of a
// sidecar file beside the WAV, or else a short description of the audio.
// README.md beside this file gives the rules and the return codes; the entry
// points are the frame's (frame/asr_frame.cpp).

#include <sndfile.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame/asr_frame.h"
#include "frame/runtime_util.h"

namespace {

using kivrt::kAsrBadAudio;
using kivrt::kAsrFileNotFound;
using kivrt::kAsrInvalidArgument;

constexpr int32_t kBadTranscript = 4;  // a sidecar transcript that cannot be read or is not UTF-8

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
    if (file == nullptr) return kAsrBadAudio;
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if ((major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64) ||
        info.samplerate <= 0 || info.channels <= 0)
        return kAsrBadAudio;
    std::vector<float> buffer(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(file, buffer.data(), 4096)) > 0) audio.frames += n;
    if (sf_error(file) != SF_ERR_NO_ERROR) return kAsrBadAudio;
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

// The model files are only checked to exist; their content is not read.
class SidecarRecogniser : public kivrt::Recogniser {
public:
    int32_t transcribe(const KIV_ASRInput& input, std::string& text, std::string& language) override {
        // Stands in for the device's decoding time (the benchmarks and the
        // server's tests use it).
        if (const std::optional<long> ms = kivrt::env_non_negative("KIV_REFERENCE_ASR_DELAY_MS"); ms && *ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
        if (int32_t rc = kivrt::check_transcription(input)) return rc;

        Audio audio;
        if (int32_t rc = decode(input.wav_path, audio)) return rc;

        const std::string sidecar = sidecar_path(input.wav_path);
        if (kivrt::is_regular_file(sidecar.c_str())) {
            std::optional<std::string> content = kivrt::read_file(sidecar);
            if (!content || !kivrt::valid_utf8(*content)) return kBadTranscript;
            text = kivrt::trim(*content);
        } else {
            text = describe(audio);
        }

        const std::string task = input.task ? input.task : "";
        const std::string requested = input.language ? input.language : "";
        if (task == "translate" || requested.empty() || requested == "auto")
            language = "en";
        else
            language = requested;
        // Nothing is translated: the mark shows the caller which task reached the runtime.
        if (task == "translate") text = "[translate] " + text;
        return 0;
    }
};

}  // namespace

std::unique_ptr<kivrt::Recogniser> kivrt::make_recogniser(const KIV_ASRInitParam& param, int32_t& rc) {
    // The record is packed: read its pointers into locals before passing them on.
    const char* model = param.model_path;
    const char* tokenizer = param.tokenizer_path;
    const char* decoder = param.decoder_path;
    const char* extra_json = param.extra_json;
    rc = kAsrFileNotFound;
    if (!is_regular_file(model)) return nullptr;
    if (tokenizer && !is_regular_file(tokenizer)) return nullptr;
    if (decoder && !is_regular_file(decoder)) return nullptr;
    rc = kAsrInvalidArgument;
    if (extra_json != nullptr && !nlohmann::json::parse(extra_json, nullptr, false).is_object()) return nullptr;
    return std::make_unique<SidecarRecogniser>();
}
