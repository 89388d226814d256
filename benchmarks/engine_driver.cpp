// The floor of a real generation: libvelkor.so driven straight from native
// code with a native callback, no interpreter in between. Each run prints one
// JSON line with the time of the call, of the first and of the last piece,
// and the CPU time it took. RUNS 0 makes one run per line read from standard
// input (so that a benchmark can interleave it with other measurements).
//
//   engine_driver LIBVELKOR MODEL PROMPT TOKENS THREADS MESSAGES(0|1) RUNS
#include <dlfcn.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "velkor/velkor_records.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
    Clock::time_point first, last;
    long pieces = 0;
    unsigned final_state = 0;
};

void on_result(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state) {
    auto* t = static_cast<Timing*>(userdata);
    if (state != 0) {
        t->final_state = state;
        return;
    }
    const Clock::time_point now = Clock::now();
    if (t->pieces++ == 0) t->first = now;
    t->last = now;
    (void)result;
}

template <typename F>
F symbol(void* lib, const char* name) {
    void* p = dlsym(lib, name);
    if (p == nullptr) {
        std::fprintf(stderr, "missing %s\n", name);
        std::exit(1);
    }
    return reinterpret_cast<F>(p);
}

double since(Clock::time_point start, Clock::time_point t) {
    return std::chrono::duration<double>(t - start).count();
}

// CPU time of the whole process: on a shared machine it tells the work done
// from the time spent waiting for a core.
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s LIBVELKOR MODEL PROMPT TOKENS THREADS MESSAGES RUNS\n", argv[0]);
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    using Init = KIV_LLMRetStatus (*)(LLMContext*, const KIV_LLMInitParam*, KIV_LLMResultCallback);
    using Run = KIV_LLMRetStatus (*)(LLMContext, const KIV_LLMInput*, const KIV_LLMRunParam*, void*);
    using Uninit = KIV_LLMRetStatus (*)(LLMContext);
    auto init = symbol<Init>(lib, "kiv_llm_init");
    auto run = symbol<Run>(lib, "kiv_llm_run");
    auto uninit = symbol<Uninit>(lib, "kiv_llm_uninit");

    const std::string settings = std::string("{\"n_threads\": ") + argv[5] + ", \"max_tokens\": " + argv[4] + "}";
    KIV_LLMInitParam init_param{};
    init_param.model_path = argv[2];
    init_param.sampling_mode = 0;  // arg-max
    init_param.init_extend.sampler_params_json = settings.c_str();
    LLMContext ctx = nullptr;
    if (init(&ctx, &init_param, on_result) != 0) return 1;

    KIV_LLMInput input{};
    input.type = std::atoi(argv[6]) ? KIV_LLM_INPUT_MESSAGES : KIV_LLM_INPUT_PROMPT;
    input.prompt = argv[3];
    KIV_LLMRunParam param{};
    param.run_extend.disable_chat_template = 1;
    const int runs = std::atoi(argv[7]);
    char line[64];
    for (int i = 0; runs > 0 ? i < runs : std::fgets(line, sizeof line, stdin) != nullptr; ++i) {
        Timing t;
        const double cpu = cpu_seconds();
        const Clock::time_point start = Clock::now();
        run(ctx, &input, &param, &t);
        const Clock::time_point end = Clock::now();
        std::printf("{\"pieces\": %ld, \"first\": %.6f, \"last\": %.6f, \"total\": %.6f, \"cpu\": %.6f, \"state\": %u}\n",
                    t.pieces, since(start, t.first), since(start, t.last), since(start, end), cpu_seconds() - cpu,
                    t.final_state);
        std::fflush(stdout);
    }
    uninit(ctx);
    return 0;
}
