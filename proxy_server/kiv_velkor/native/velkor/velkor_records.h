// Binary records exchanged with the LLM runtime, declared once. Offsets are
// proven at compile time, so building for another target re-checks the layout.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef void* LLMContext;
typedef uint32_t KIV_LLMRetStatus;      // 0 success, 1 failure
typedef uint32_t KIV_LLMRunStatus;
typedef uint32_t KIV_LLMMessageType;    // 1 reasoning, 2 tool-call text, other: answer
typedef uint32_t KIV_LLMSamplingMode;   // 0 arg-max, 1 top-p, 2 top-k, 3 chain
typedef uint32_t KIV_LLMRunMode;

enum : uint32_t {
    KIV_LLM_INPUT_PROMPT = 0,
    KIV_LLM_INPUT_MESSAGES = 3,
    KIV_LLM_IMAGE_TYPE_BUFFER = 0,
    KIV_LLM_MESSAGE_REASONING = 1,
    KIV_LLM_MESSAGE_TOOL_CALL = 2,
};

// The init record: pointers sit at offsets that are multiples of 4, not 8.
#pragma pack(push, 4)
struct KIV_LLMInitExtend {
    const char* sampler_params_json;
    const char* model_type_override;
    const char* custom_jinja_template;
    uint8_t reserved0[8];
    const char* mmproj_config;
    uint8_t reserved1[980];
};

struct KIV_LLMInitParam {
    const char* model_path;
    KIV_LLMSamplingMode sampling_mode;
    uint8_t reserved0[16];
    const char* mmproj_path;
    KIV_LLMInitExtend init_extend;
};

// The run parameter record: fields back to back, 4-byte packing.
struct KIV_LLMRunExtend {
    const char* sampler_params_json;
    int32_t disable_chat_template;
    const char* extra_template_params;
    const char* tools_schemas;
};

struct KIV_LLMRunParam {
    KIV_LLMRunMode run_mode;
    int32_t retain_history;
    int32_t enable_think;
    int32_t sampling_config_valid;
    KIV_LLMSamplingMode sampling_mode;
    int32_t top_k;
    float top_p;
    float temperature;
    float repeat_penalty;
    KIV_LLMRunExtend run_extend;
    uint8_t reserved[972];
};
#pragma pack(pop)

struct KIV_LLMVisionInfo {
    int32_t n_inputs;
    const void* inputs;              // first input description; height at +136, width at +140
    char projector_type[64];
    float image_mean[3];
    float image_std[3];
    int32_t patch_size;
    int32_t spatial_merge_size;
    int32_t has_metadata;
    uint8_t tail[4];
};

struct KIV_LLMResult {
    const char* text;
    int32_t token_id;
    KIV_LLMMessageType content_type;
};

struct KIV_LLMImageInput {
    uint32_t type;
    const uint8_t* data;
    int32_t width;
    int32_t height;
    uint64_t reserved;
};

struct KIV_LLMInput {
    uint32_t type;
    const char* prompt;
    const KIV_LLMImageInput* images;
    int32_t n_images;
    const char* img_start;
    const char* img_end;
    const char* img_content;
    uint32_t reserved0;
    uint32_t reserved1;
    uint64_t reserved2;
};

typedef void (*KIV_LLMResultCallback)(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state);
typedef void (*KIV_LLMToolCallCallback)(const char* name, const char* arguments, void* userdata);

}  // extern "C"

// Offsets into the entry that KIV_LLMVisionInfo::inputs points to.
inline constexpr std::size_t kVisionInputHeightOffset = 136;
inline constexpr std::size_t kVisionInputWidthOffset = 140;

static_assert(sizeof(void*) == 8, "the runtime's records assume 64-bit pointers");

static_assert(sizeof(KIV_LLMInitParam) == 1056);
static_assert(offsetof(KIV_LLMInitParam, model_path) == 0);
static_assert(offsetof(KIV_LLMInitParam, sampling_mode) == 8);
static_assert(offsetof(KIV_LLMInitParam, reserved0) == 12);
static_assert(offsetof(KIV_LLMInitParam, mmproj_path) == 28);
static_assert(offsetof(KIV_LLMInitParam, init_extend) + offsetof(KIV_LLMInitExtend, sampler_params_json) == 36);
static_assert(offsetof(KIV_LLMInitParam, init_extend) + offsetof(KIV_LLMInitExtend, model_type_override) == 44);
static_assert(offsetof(KIV_LLMInitParam, init_extend) + offsetof(KIV_LLMInitExtend, custom_jinja_template) == 52);
static_assert(offsetof(KIV_LLMInitParam, init_extend) + offsetof(KIV_LLMInitExtend, reserved0) == 60);
static_assert(offsetof(KIV_LLMInitParam, init_extend) + offsetof(KIV_LLMInitExtend, mmproj_config) == 68);
static_assert(offsetof(KIV_LLMInitParam, init_extend) + offsetof(KIV_LLMInitExtend, reserved1) == 76);

static_assert(sizeof(KIV_LLMRunParam) == 1036);
static_assert(offsetof(KIV_LLMRunParam, run_mode) == 0);
static_assert(offsetof(KIV_LLMRunParam, retain_history) == 4);
static_assert(offsetof(KIV_LLMRunParam, enable_think) == 8);
static_assert(offsetof(KIV_LLMRunParam, sampling_config_valid) == 12);
static_assert(offsetof(KIV_LLMRunParam, sampling_mode) == 16);
static_assert(offsetof(KIV_LLMRunParam, top_k) == 20);
static_assert(offsetof(KIV_LLMRunParam, top_p) == 24);
static_assert(offsetof(KIV_LLMRunParam, temperature) == 28);
static_assert(offsetof(KIV_LLMRunParam, repeat_penalty) == 32);
static_assert(offsetof(KIV_LLMRunParam, run_extend) + offsetof(KIV_LLMRunExtend, sampler_params_json) == 36);
static_assert(offsetof(KIV_LLMRunParam, run_extend) + offsetof(KIV_LLMRunExtend, disable_chat_template) == 44);
static_assert(offsetof(KIV_LLMRunParam, run_extend) + offsetof(KIV_LLMRunExtend, extra_template_params) == 48);
static_assert(offsetof(KIV_LLMRunParam, run_extend) + offsetof(KIV_LLMRunExtend, tools_schemas) == 56);
static_assert(offsetof(KIV_LLMRunParam, reserved) == 64);

static_assert(sizeof(KIV_LLMVisionInfo) == 120);
static_assert(offsetof(KIV_LLMVisionInfo, n_inputs) == 0);
static_assert(offsetof(KIV_LLMVisionInfo, inputs) == 8);
static_assert(offsetof(KIV_LLMVisionInfo, projector_type) == 16);
static_assert(offsetof(KIV_LLMVisionInfo, image_mean) == 80);
static_assert(offsetof(KIV_LLMVisionInfo, image_std) == 92);
static_assert(offsetof(KIV_LLMVisionInfo, patch_size) == 104);
static_assert(offsetof(KIV_LLMVisionInfo, spatial_merge_size) == 108);
static_assert(offsetof(KIV_LLMVisionInfo, has_metadata) == 112);
static_assert(offsetof(KIV_LLMVisionInfo, tail) == 116);

static_assert(sizeof(KIV_LLMResult) == 16);
static_assert(offsetof(KIV_LLMResult, text) == 0);
static_assert(offsetof(KIV_LLMResult, token_id) == 8);
static_assert(offsetof(KIV_LLMResult, content_type) == 12);

static_assert(sizeof(KIV_LLMImageInput) == 32);
static_assert(offsetof(KIV_LLMImageInput, type) == 0);
static_assert(offsetof(KIV_LLMImageInput, data) == 8);
static_assert(offsetof(KIV_LLMImageInput, width) == 16);
static_assert(offsetof(KIV_LLMImageInput, height) == 20);
static_assert(offsetof(KIV_LLMImageInput, reserved) == 24);

static_assert(sizeof(KIV_LLMInput) == 72);
static_assert(offsetof(KIV_LLMInput, type) == 0);
static_assert(offsetof(KIV_LLMInput, prompt) == 8);
static_assert(offsetof(KIV_LLMInput, images) == 16);
static_assert(offsetof(KIV_LLMInput, n_images) == 24);
static_assert(offsetof(KIV_LLMInput, img_start) == 32);
static_assert(offsetof(KIV_LLMInput, img_end) == 40);
static_assert(offsetof(KIV_LLMInput, img_content) == 48);
static_assert(offsetof(KIV_LLMInput, reserved0) == 56);
static_assert(offsetof(KIV_LLMInput, reserved1) == 60);
static_assert(offsetof(KIV_LLMInput, reserved2) == 64);
