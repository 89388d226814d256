// Sampling and compute settings of the LLM runtime: from the init record and
// its sampler_params JSON, then per run from the run record's overrides and
// its own sampler_params.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "velkor/velkor_records.h"

struct common_params_sampling;

namespace kiveng {

enum : KIV_LLMSamplingMode { kArgMax = 0, kTopP = 1, kTopK = 2, kChain = 3 };

struct SettingsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Settings {
    KIV_LLMSamplingMode mode = kArgMax;
    int32_t top_k = 40;
    float top_p = 0.95f;
    float min_p = 0.05f;
    float temperature = 0.8f;
    float repeat_penalty = 1.0f;  // 1 = off
    float frequency_penalty = 0;  // 0 = off; both as OpenAI's, over the last repeat_last_n tokens
    float presence_penalty = 0;
    int32_t repeat_last_n = 64;
    std::optional<uint32_t> seed;  // none: a new random seed each run
    int32_t max_tokens = -1;       // -1: until the end of the context
    int32_t n_threads = 0;         // 0: the default (see default_threads)

    // Reads a sampler_params JSON object (NULL: nothing). `at_init` allows the
    // keys that only make sense when the context is made (n_ctx). Throws
    // SettingsError naming the offending key.
    void apply_json(const char* json_text, bool at_init, int32_t* n_ctx = nullptr);

    // The run record's overrides (when sampling_config_valid is set).
    void apply_run_record(const KIV_LLMRunParam& param);

    // The sampler chain these settings describe.
    void fill(common_params_sampling& out) const;
};

}  // namespace kiveng
