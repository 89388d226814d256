// Binary records exchanged with the speech runtime, declared once. All three
// are byte-packed 1024-byte records; the offsets are proven at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

enum : int32_t { KIV_ASR_SUCCESS = 0, KIV_ASR_MODEL_WHISPER = 0 };

#pragma pack(push, 1)
struct KIV_ASRInitParam {
    int32_t model_type;
    const char* model_path;
    const char* decoder_path;
    const char* tokenizer_path;
    const char* extra_json;
    uint8_t reserved[988];
};

struct KIV_ASRInput {
    int32_t kind;              // 0: the audio is the file named by wav_path
    const char* wav_path;
    uint8_t unused[16];
    const char* language;
    const char* task;
    uint8_t reserved[980];
};

struct KIV_ASRResult {
    const char* text;
    const char* language;
    uint8_t reserved[1008];
};
#pragma pack(pop)

}  // extern "C"

static_assert(sizeof(void*) == 8, "the runtime's records assume 64-bit pointers");

static_assert(sizeof(KIV_ASRInitParam) == 1024);
static_assert(offsetof(KIV_ASRInitParam, model_type) == 0);
static_assert(offsetof(KIV_ASRInitParam, model_path) == 4);
static_assert(offsetof(KIV_ASRInitParam, decoder_path) == 12);
static_assert(offsetof(KIV_ASRInitParam, tokenizer_path) == 20);
static_assert(offsetof(KIV_ASRInitParam, extra_json) == 28);
static_assert(offsetof(KIV_ASRInitParam, reserved) == 36);

static_assert(sizeof(KIV_ASRInput) == 1024);
static_assert(offsetof(KIV_ASRInput, kind) == 0);
static_assert(offsetof(KIV_ASRInput, wav_path) == 4);
static_assert(offsetof(KIV_ASRInput, unused) == 12);
static_assert(offsetof(KIV_ASRInput, language) == 28);
static_assert(offsetof(KIV_ASRInput, task) == 36);
static_assert(offsetof(KIV_ASRInput, reserved) == 44);

static_assert(sizeof(KIV_ASRResult) == 1024);
static_assert(offsetof(KIV_ASRResult, text) == 0);
static_assert(offsetof(KIV_ASRResult, language) == 8);
static_assert(offsetof(KIV_ASRResult, reserved) == 16);
