#include "llm_settings.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

#include "common.h"

namespace kiveng {

namespace {

using json = nlohmann::json;

[[noreturn]] void bad(const std::string& key, const char* what) {
    throw SettingsError("sampler_params." + key + " " + what);
}

double number(const json& v, const std::string& key) {
    if (!v.is_number()) bad(key, "must be a number");
    const double d = v.get<double>();
    if (!std::isfinite(d)) bad(key, "must be finite");
    return d;
}

int64_t integer(const json& v, const std::string& key, int64_t lo, int64_t hi) {
    if (!v.is_number_integer()) bad(key, "must be an integer");
    // Unsigned values beyond int64 fall outside every range below as well.
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(hi)) bad(key, "is out of range");
    const int64_t n = v.get<int64_t>();
    if (n < lo || n > hi) bad(key, "is out of range");
    return n;
}

}  // namespace

void Settings::apply_json(const char* json_text, bool at_init, int32_t* n_ctx) {
    if (json_text == nullptr) return;
    const json doc = json::parse(json_text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) throw SettingsError("sampler_params must be a JSON object");
    constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
    for (const auto& [key, v] : doc.items()) {
        if (v.is_null()) continue;  // a key given as null counts as not given
        if (key == "seed") {
            seed = static_cast<uint32_t>(integer(v, key, 0, std::numeric_limits<uint32_t>::max()));
        } else if (key == "temperature") {
            temperature = static_cast<float>(number(v, key));
        } else if (key == "top_k") {
            top_k = static_cast<int32_t>(integer(v, key, 0, kInt32Max));
        } else if (key == "top_p") {
            const double p = number(v, key);
            if (p < 0 || p > 1) bad(key, "must lie in 0..1");
            top_p = static_cast<float>(p);
        } else if (key == "min_p") {
            const double p = number(v, key);
            if (p < 0 || p > 1) bad(key, "must lie in 0..1");
            min_p = static_cast<float>(p);
        } else if (key == "repeat_penalty") {
            const double p = number(v, key);
            if (p <= 0) bad(key, "must be greater than 0");
            repeat_penalty = static_cast<float>(p);
        } else if (key == "frequency_penalty" || key == "presence_penalty") {
            const double p = number(v, key);
            if (p < -2 || p > 2) bad(key, "must lie in -2..2");
            (key == "frequency_penalty" ? frequency_penalty : presence_penalty) = static_cast<float>(p);
        } else if (key == "repeat_last_n") {
            repeat_last_n = static_cast<int32_t>(integer(v, key, -1, kInt32Max));
        } else if (key == "max_tokens") {
            max_tokens = static_cast<int32_t>(integer(v, key, -1, kInt32Max));
        } else if (key == "n_threads") {
            n_threads = static_cast<int32_t>(integer(v, key, 1, 512));
        } else if (key == "n_ctx" && at_init && n_ctx != nullptr) {
            *n_ctx = static_cast<int32_t>(integer(v, key, 0, kInt32Max));
        } else {
            throw SettingsError("sampler_params." + key + " is not a setting of this runtime");
        }
    }
}

void Settings::apply_run_record(const KIV_LLMRunParam& p) {
    if (p.sampling_config_valid == 0) return;
    if (p.sampling_mode > kChain) throw SettingsError("sampling mode " + std::to_string(p.sampling_mode) + " is unknown");
    // Fields left at zero were not given. A run that names no mode but gives
    // top_k, top_p or temperature samples with the chain, so that they count.
    if (p.top_k > 0) top_k = p.top_k;
    if (p.top_p > 0) top_p = p.top_p > 1 ? 1.0f : p.top_p;
    if (p.temperature > 0) temperature = p.temperature;
    if (p.repeat_penalty > 0) repeat_penalty = p.repeat_penalty;
    if (p.sampling_mode != kArgMax)
        mode = p.sampling_mode;
    else if (p.top_k > 0 || p.top_p > 0 || p.temperature > 0)
        mode = kChain;
}

void Settings::fill(common_params_sampling& out) const {
    out.seed = seed.value_or(LLAMA_DEFAULT_SEED);
    out.top_k = top_k;
    out.top_p = top_p;
    out.min_p = min_p;
    out.temp = temperature;
    out.penalty_repeat = repeat_penalty;
    out.penalty_freq = frequency_penalty;
    out.penalty_present = presence_penalty;
    out.penalty_last_n = repeat_last_n;
    out.samplers.clear();
    if (repeat_penalty != 1.0f || frequency_penalty != 0 || presence_penalty != 0)
        out.samplers.push_back(COMMON_SAMPLER_TYPE_PENALTIES);
    switch (mode) {
        case kTopP:
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TOP_P);
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TEMPERATURE);
            break;
        case kTopK:
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TOP_K);
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TEMPERATURE);
            break;
        case kChain:
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TOP_K);
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TOP_P);
            out.samplers.push_back(COMMON_SAMPLER_TYPE_MIN_P);
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TEMPERATURE);
            break;
        default:
            // Arg-max: keep the single most likely token; the final draw of
            // the chain then has one candidate.
            out.top_k = 1;
            out.samplers.push_back(COMMON_SAMPLER_TYPE_TOP_K);
            break;
    }
}

}  // namespace kiveng
