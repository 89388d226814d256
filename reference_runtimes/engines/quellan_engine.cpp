// Speech runtime (libquellan.so) on PocketSphinx.
//
// Honours the binary interface of the device's speech runtime with a real
// recogniser: kiv_asr_init loads an acoustic model directory (model_path), a
// pronunciation dictionary (tokenizer_path) and a language model
// (decoder_path), with PocketSphinx options in extra_json;
// kiv_asr_transcribe decodes a WAV file of any rate and channel count.
// ../README.md (section "Real engines") gives the rules and return codes; the
// entry points are the frame's (../frame/asr_frame.cpp).

#include <pocketsphinx.h>

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio.h"
#include "engine_common.h"
#include "frame/asr_frame.h"
#include "frame/runtime_util.h"

namespace {

using kivrt::kAsrBadAudio;
using kivrt::kAsrFileNotFound;
using kivrt::kAsrInternalError;
using kivrt::kAsrInvalidArgument;

constexpr int32_t kModelUnusable = 6;  // model files that exist but that the engine cannot load

bool exists(const char* path) {
    struct stat st;
    return path != nullptr && *path != '\0' && ::stat(path, &st) == 0;
}

bool is_directory(const char* path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

class PocketSphinxRecogniser : public kivrt::Recogniser {
public:
    int32_t create(const KIV_ASRInitParam& param) {
        // The record is packed: read its pointers into locals first.
        const char* model = param.model_path;
        const char* dict = param.tokenizer_path;
        const char* lm = param.decoder_path;
        const char* extra = param.extra_json;
        if (model == nullptr || dict == nullptr) return kAsrInvalidArgument;
        if (!exists(model) || !exists(dict) || (lm != nullptr && !exists(lm))) return kAsrFileNotFound;
        if (!is_directory(model)) return kModelUnusable;

        kiveng::Owned<ps_config_t, ps_config_free> config(ps_config_init(nullptr));
        if (!config) return kAsrInternalError;
        ps_config_set_str(config.get(), "loglevel", kiveng::engine_log_enabled() ? "INFO" : "ERROR");
        ps_config_set_str(config.get(), "hmm", model);
        ps_config_set_str(config.get(), "dict", dict);
        if (lm != nullptr) ps_config_set_str(config.get(), "lm", lm);
        if (extra != nullptr && ps_config_parse_json(config.get(), extra) == nullptr) return kAsrInvalidArgument;

        decoder_.reset(ps_init(config.get()));
        if (!decoder_) return kModelUnusable;
        rate_ = static_cast<int>(ps_config_int(config.get(), "samprate"));
        return 0;
    }

    int32_t transcribe(const KIV_ASRInput& input, std::string& text, std::string& language) override {
        if (int32_t rc = kivrt::check_transcription(input)) return rc;
        std::vector<int16_t> samples;
        if (!kiveng::read_wav_mono(input.wav_path, rate_, samples)) return kAsrBadAudio;

        std::lock_guard<std::mutex> lock(mutex_);
        ps_decoder_t* ps = decoder_.get();
        if (ps_start_utt(ps) < 0) return kAsrInternalError;
        if (!samples.empty() && ps_process_raw(ps, samples.data(), samples.size(), FALSE, TRUE) < 0) {
            ps_end_utt(ps);
            return kAsrInternalError;
        }
        if (ps_end_utt(ps) < 0) return kAsrInternalError;
        const char* hyp = ps_get_hyp(ps, nullptr);
        text = hyp ? hyp : "";
        language = "en";  // the model is English: that is the language of every transcript
        return 0;
    }

private:
    kiveng::Owned<ps_decoder_t, ps_free> decoder_;
    int rate_ = 16000;
    std::mutex mutex_;  // one utterance at a time per decoder
};

}  // namespace

std::unique_ptr<kivrt::Recogniser> kivrt::make_recogniser(const KIV_ASRInitParam& param, int32_t& rc) {
    auto rec = std::make_unique<PocketSphinxRecogniser>();
    rc = rec->create(param);
    if (rc != 0) return nullptr;
    return rec;
}
