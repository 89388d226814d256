// Native test of both loaders, their shims and the recogniser's record
// builders, without an interpreter: linked with velkor_loader.cpp and
// quellan_loader.cpp and run against the recording fakes built for the same
// architecture (scripts/cross_aarch64.sh runs it under emulation on aarch64).
//
//   loader_test FAKE_VELKOR FAKE_VELKOR_NO_VISION FAKE_QUELLAN FAKE_QUELLAN_NO_UNINIT
//
// The fakes' control functions are reached with dlopen on the same files:
// the loader's dlopen of a path returns the instance the test inspects.
#include "velkor/velkor_loader.h"
#include "quellan/quellan_loader.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_passed = 0;
int g_failed = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (condition) {                                                                  \
            ++g_passed;                                                                   \
        } else {                                                                          \
            ++g_failed;                                                                   \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                                 \
    } while (0)

template <typename F>
F symbol(void* library, const char* name) {
    void* address = dlsym(library, name);
    if (address == nullptr) {
        std::fprintf(stderr, "missing control function %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(address);
}

uint64_t read_u64(const unsigned char* record, size_t offset) {
    uint64_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

int32_t read_i32(const unsigned char* record, size_t offset) {
    int32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// ------------------------------------------------------------------- velkor

struct VelkorFake {
    void (*reset)();
    int (*call_count)();
    const char* (*call_name)(int);
    int (*capture)(int, const char*, const char**, size_t*);
    void (*script_result)(int, const char*, size_t, int, int32_t, uint32_t, uint32_t, int);
    void (*set_thread_mode)(int);

    explicit VelkorFake(void* lib)
        : reset(symbol<decltype(reset)>(lib, "fake_reset")),
          call_count(symbol<decltype(call_count)>(lib, "fake_call_count")),
          call_name(symbol<decltype(call_name)>(lib, "fake_call_name")),
          capture(symbol<decltype(capture)>(lib, "fake_capture")),
          script_result(symbol<decltype(script_result)>(lib, "fake_script_result")),
          set_thread_mode(symbol<decltype(set_thread_mode)>(lib, "fake_set_thread_mode")) {}

    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (int i = 0; i < call_count(); ++i) out.emplace_back(call_name(i));
        return out;
    }

    std::string captured(int call, const char* key) {
        const char* data = nullptr;
        size_t length = 0;
        if (capture(call, key, &data, &length) != 1) return "<none>";
        return std::string(data, length);
    }
};

struct Collected {
    std::vector<std::string> texts;
    std::vector<uint32_t> states;
};

void on_result(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state) {
    auto* collected = static_cast<Collected*>(userdata);
    collected->texts.emplace_back(result && result->text ? result->text : "<null>");
    collected->states.push_back(state);
}

void test_velkor(const char* fake_path, const char* partial_path) {
    // Empty table: every shim answers 1.
    LLMContext ctx = nullptr;
    CHECK(kiv_llm_reset(nullptr) == 1);
    CHECK(kiv_llm_init(&ctx, nullptr, nullptr) == 1 && ctx == nullptr);

    // A library without one entry point: nothing of it stays.
    CHECK(load_velkor_func(partial_path) == -1);
    CHECK(kiv_llm_reset(nullptr) == 1);
    CHECK(load_velkor_func(nullptr) == -1);
    CHECK(load_velkor_func("/nonexistent/libvelkor.so") == -1);

    CHECK(load_velkor_func(fake_path) == 0);
    CHECK(load_velkor_func("/nonexistent/other.so") == 0);      // already loaded: the path is not looked at
    void* lib = dlopen(fake_path, RTLD_LAZY);
    CHECK(lib != nullptr);
    if (lib == nullptr) return;
    VelkorFake fake(lib);
    fake.reset();

    // init: the record as the fake received it, byte for byte at its offsets.
    KIV_LLMInitParam param{};
    const char* model = "model.gguf";
    const char* mmproj = "mmproj.gguf";
    const char* sampler = "{\"top_k\": 3}";
    param.model_path = model;
    param.sampling_mode = 2;
    param.mmproj_path = mmproj;
    param.init_extend.sampler_params_json = sampler;
    CHECK(kiv_llm_init(&ctx, &param, on_result) == 0);
    CHECK(reinterpret_cast<uintptr_t>(ctx) == 0x1000);
    const std::string record = fake.captured(0, "param");
    CHECK(record.size() == 1056);
    if (record.size() == 1056) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
        CHECK(read_u64(bytes, 0) == reinterpret_cast<uintptr_t>(model));
        CHECK(read_i32(bytes, 8) == 2);
        CHECK(read_u64(bytes, 28) == reinterpret_cast<uintptr_t>(mmproj));
        CHECK(read_u64(bytes, 36) == reinterpret_cast<uintptr_t>(sampler));
    }
    CHECK(fake.captured(0, "mmproj_path") == "mmproj.gguf");

    // The shims forward arguments and results unchanged.
    CHECK(kiv_llm_set_chat_template(ctx, "sys", nullptr, "post") == 0);
    CHECK(fake.captured(1, "system_prompt") == "sys" && fake.captured(1, "prompt_prefix") == "<none>");
    CHECK(kiv_llm_reset(ctx) == 0 && kiv_llm_break(ctx) == 0);

    // A run delivers through the callback, on the calling thread and on new ones.
    for (int mode = 0; mode < 3; ++mode) {
        fake.set_thread_mode(mode);
        fake.script_result(0, "Hel", 3, 0, 1, 0, 0, 0);
        fake.script_result(0, "lo", 2, 0, 2, 0, 2, 0);
        KIV_LLMInput input{};
        input.prompt = "hi";
        KIV_LLMRunParam run{};
        run.run_extend.tools_schemas = "[]";
        Collected collected;
        kiv_llm_run(ctx, &input, &run, &collected);
        CHECK((collected.texts == std::vector<std::string>{"Hel", "lo"}));
        CHECK((collected.states == std::vector<uint32_t>{0, 2}));
        fake.reset();
        CHECK(kiv_llm_init(&ctx, &param, on_result) == 0);      // the reset dropped the callback
    }
    CHECK(kiv_llm_uninit(ctx) == 0);
    CHECK((fake.names() == std::vector<std::string>{"kiv_llm_init", "kiv_llm_uninit"}));

    // Unloaded: every shim answers 1 and calls nothing; twice is harmless.
    unload_velkor_func();
    unload_velkor_func();
    fake.reset();
    CHECK(kiv_llm_reset(ctx) == 1 && kiv_llm_uninit(ctx) == 1);
    CHECK(fake.call_count() == 0);
    CHECK(load_velkor_func(fake_path) == 0);                    // and loads again
    CHECK(kiv_llm_reset(ctx) == 0);
    unload_velkor_func();
    dlclose(lib);
}

// ------------------------------------------------------------------ quellan

struct QuellanFake {
    void (*reset)();
    void (*script_init)(int32_t, uint64_t);
    void (*script_transcribe)(int32_t, const char*, const char*);
    int (*call_count)();
    const char* (*call_name)(int);
    const unsigned char* (*call_record)(int);
    const char* (*call_string)(int, int, int*);
    int (*free_result_count)();
    int (*outstanding_results)();

    explicit QuellanFake(void* lib)
        : reset(symbol<decltype(reset)>(lib, "fake_quellan_reset")),
          script_init(symbol<decltype(script_init)>(lib, "fake_quellan_script_init")),
          script_transcribe(symbol<decltype(script_transcribe)>(lib, "fake_quellan_script_transcribe")),
          call_count(symbol<decltype(call_count)>(lib, "fake_quellan_call_count")),
          call_name(symbol<decltype(call_name)>(lib, "fake_quellan_call_name")),
          call_record(symbol<decltype(call_record)>(lib, "fake_quellan_call_record")),
          call_string(symbol<decltype(call_string)>(lib, "fake_quellan_call_string")),
          free_result_count(symbol<decltype(free_result_count)>(lib, "fake_quellan_free_result_count")),
          outstanding_results(symbol<decltype(outstanding_results)>(lib, "fake_quellan_outstanding_results")) {}

    std::string string_at(int call, int offset) {
        int found = 0;
        const char* value = call_string(call, offset, &found);
        if (!found) return "<not captured>";
        return value ? value : "<null>";
    }
};

void test_quellan(const char* fake_path, const char* no_uninit_path) {
    KIV_ASRHandle handle = nullptr;
    char* text = nullptr;
    char* language = nullptr;
    CHECK(quellan_init(&handle, 0, "m", nullptr, "t", nullptr) == 1 && handle == nullptr);
    CHECK(quellan_uninit(nullptr) == 1);

    CHECK(load_quellan_func(no_uninit_path) == -1);             // all or nothing
    CHECK(quellan_init(&handle, 0, "m", nullptr, "t", nullptr) == 1);
    CHECK(load_quellan_func(fake_path) == 0);
    CHECK(load_quellan_func("/nonexistent/libquellan.so") == 0);
    void* lib = dlopen(fake_path, RTLD_LAZY);
    CHECK(lib != nullptr);
    if (lib == nullptr) return;
    QuellanFake fake(lib);
    fake.reset();

    // The init record: packed, pointers at unaligned offsets 4, 12, 20, 28.
    const char* model = "/abs/model.bin";
    const char* tokenizer = "/abs/tokenizer.json";
    const char* extra = "{\"beam\": 5}";
    CHECK(quellan_init(&handle, 1, model, nullptr, tokenizer, extra) == 0 && handle != nullptr);
    const unsigned char* init_record = fake.call_record(0);
    CHECK(init_record != nullptr);
    if (init_record != nullptr) {
        CHECK(read_i32(init_record, 0) == 1);
        CHECK(read_u64(init_record, 4) == reinterpret_cast<uintptr_t>(model));
        CHECK(read_u64(init_record, 12) == 0);
        CHECK(read_u64(init_record, 20) == reinterpret_cast<uintptr_t>(tokenizer));
        CHECK(read_u64(init_record, 28) == reinterpret_cast<uintptr_t>(extra));
        bool reserved_zero = true;
        for (int i = 36; i < 1024; ++i) reserved_zero &= init_record[i] == 0;
        CHECK(reserved_zero);
    }
    CHECK(fake.string_at(0, 20) == tokenizer);

    // A failing init leaves the caller's handle untouched.
    KIV_ASRHandle kept = handle;
    fake.script_init(0, 0);                                     // success without a handle
    CHECK(quellan_init(&handle, 0, model, nullptr, tokenizer, nullptr) == 1 && handle == kept);
    fake.script_init(7, 0x77);
    CHECK(quellan_init(&handle, 0, model, nullptr, tokenizer, nullptr) == 1 && handle == kept);

    // transcribe: the input record, the copies, and the release of the result.
    fake.reset();
    fake.script_transcribe(0, "hello world", "en");
    CHECK(quellan_transcribe_file(handle, "/abs/a.wav", "auto", "transcribe", &text, &language) == 0);
    const unsigned char* input = fake.call_record(0);
    CHECK(input != nullptr);
    if (input != nullptr) {
        CHECK(read_i32(input, 0) == 0);
        CHECK(fake.string_at(0, 4) == "/abs/a.wav");
        CHECK(fake.string_at(0, 28) == "auto" && fake.string_at(0, 36) == "transcribe");
        bool gap_zero = true;
        for (int i = 12; i < 28; ++i) gap_zero &= input[i] == 0;
        CHECK(gap_zero);
    }
    // The runtime's strings were poisoned and freed on release; the copies stand.
    CHECK(text != nullptr && std::strcmp(text, "hello world") == 0);
    CHECK(language != nullptr && std::strcmp(language, "en") == 0);
    CHECK(fake.free_result_count() == 1 && fake.outstanding_results() == 0);
    quellan_free_cstr(text);
    quellan_free_cstr(language);

    fake.script_transcribe(0, nullptr, nullptr);               // NULL fields become ""
    CHECK(quellan_transcribe_file(handle, "/abs/a.wav", nullptr, nullptr, &text, &language) == 0);
    CHECK(text != nullptr && language != nullptr && text[0] == '\0' && language[0] == '\0');
    quellan_free_cstr(text);
    quellan_free_cstr(language);

    fake.script_transcribe(3, "lost", "xx");                   // failure: released, outputs NULL
    text = language = reinterpret_cast<char*>(1);
    CHECK(quellan_transcribe_file(handle, "/abs/a.wav", nullptr, nullptr, &text, &language) == 1);
    CHECK(text == nullptr && language == nullptr);
    CHECK(fake.free_result_count() == 3 && fake.outstanding_results() == 0);

    const int calls = fake.call_count();
    CHECK(quellan_transcribe_file(nullptr, "/abs/a.wav", nullptr, nullptr, &text, &language) == 1);
    CHECK(fake.call_count() == calls);                          // no handle: the runtime is not called
    CHECK(quellan_uninit(handle) == 0);
    quellan_free_cstr(nullptr);

    unload_quellan_func();
    CHECK(quellan_uninit(handle) == 1);
    dlclose(lib);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s FAKE_VELKOR FAKE_VELKOR_NO_VISION FAKE_QUELLAN FAKE_QUELLAN_NO_UNINIT\n",
                     argv[0]);
        return 2;
    }
    test_velkor(argv[1], argv[2]);
    test_quellan(argv[3], argv[4]);
    std::printf("native loader test: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
