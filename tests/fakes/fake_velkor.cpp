// Recording fake of the LLM runtime for the tests. It logs every call in order,
// copies at call time the bytes of every record it is given and every string or
// buffer they point to, returns scripted codes and handles, and replays a
// scripted sequence of callbacks during a run, on the calling thread or on new
// native threads. Tests drive it through the fake_* functions with ctypes.
#include "../../proxy_server/kiv_velkor/native/velkor/velkor_records.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

struct Capture {
    std::string key;
    bool present;
    std::string bytes;
};

struct Call {
    std::string name;
    uintptr_t handle = 0;
    unsigned long long thread = 0;
    std::vector<Capture> captures;
};

struct Step {
    bool tool = false;
    bool null_record = false;
    bool text_null = false;
    std::string text;
    int32_t token_id = 0;
    uint32_t content_type = 0;
    uint32_t state = 0;
    bool null_userdata = false;
    bool name_null = false;
    std::string name;
    bool args_null = false;
    std::string args;
};

// The state lives on the heap and is never freed: the runtime's own threads
// may still use it while the process exits.
std::mutex& g_mutex = *new std::mutex;
std::vector<Call>& g_calls = *new std::vector<Call>;
std::map<std::string, uint32_t>& g_rc = *new std::map<std::string, uint32_t>;
uintptr_t g_init_handle = 0x1000;
std::map<uintptr_t, KIV_LLMResultCallback>& g_result_callbacks = *new std::map<uintptr_t, KIV_LLMResultCallback>;
std::map<uintptr_t, KIV_LLMToolCallCallback>& g_tool_callbacks = *new std::map<uintptr_t, KIV_LLMToolCallCallback>;
std::vector<Step>& g_script = *new std::vector<Step>;
// Where callbacks come from:
// 0: the calling thread; 1: one new thread per run; 2: a new thread per callback;
// 3: one new thread per run that stays alive after the run until released;
// 4: a worker thread per context, started by init and joined by uninit (and by
//    the library's destructor); runs, resets and breaks go through it;
// 5: a pool of two threads shared by every context, kept from the first run
//    until the library is unloaded;
// 6: the calling thread, plus one late result callback from another thread
//    after the run has returned (fake_join_late waits for it).
int g_thread_mode = 0;
int g_init_delay_us = 0;
int g_late_delay_us = 0;
// Contexts handed out and not yet released (a handle may be handed out more
// than once), and calls that named a handle that was not live.
std::map<uintptr_t, int>& g_live = *new std::map<uintptr_t, int>;
std::atomic<int> g_live_contexts{0};
std::atomic<int> g_stale_calls{0};
uintptr_t g_next_distinct = 0x10000;
struct Stream {
    bool enabled = false;
    std::string piece;
    uint32_t state = 0;
    int max_pieces = 0;
    int sleep_us = 0;
    int64_t final_state = -1;
};
Stream& g_stream = *new Stream;
std::atomic<bool> g_break{false};
std::atomic<int> g_break_count{0};
std::atomic<int> g_pieces_streamed{0};
struct Vision {
    unsigned char record[120] = {};
    uint32_t rc = 0;
    int inputs_mode = 0;  // 0: leave the record's pointer NULL, 1: point to an entry
    unsigned char entry[160] = {};
} g_vision;

// ---- threads of the runtime's own (modes 4 and 5) ----

// A queue of jobs served by `count` threads until stopped.
class JobThreads {
public:
    explicit JobThreads(int count) {
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { serve(); });
    }
    // Runs `job` on one of the threads and waits for it.
    void run(std::function<void()> job) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back([job, done] {
                job();
                done->set_value();
            });
        }
        wake_.notify_one();
        finished.wait();
    }
    void stop_and_join() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
        threads_.clear();
    }

private:
    void serve() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

std::mutex& g_threads_mutex = *new std::mutex;
std::map<uintptr_t, JobThreads*>& g_workers = *new std::map<uintptr_t, JobThreads*>;  // mode 4
JobThreads* g_pool = nullptr;                                                           // mode 5
std::vector<std::thread>& g_late = *new std::vector<std::thread>;                     // mode 6

JobThreads* worker_for(uintptr_t handle) {
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    auto it = g_workers.find(handle);
    return it == g_workers.end() ? nullptr : it->second;
}

JobThreads* shared_pool() {
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    if (g_pool == nullptr) g_pool = new JobThreads(2);
    return g_pool;
}

// What a runtime's library destructor does: join the threads it started.
__attribute__((destructor)) void join_runtime_threads() {
    std::map<uintptr_t, JobThreads*> workers;
    JobThreads* pool;
    {
        std::lock_guard<std::mutex> lock(g_threads_mutex);
        workers.swap(g_workers);
        pool = std::exchange(g_pool, nullptr);
    }
    for (auto& [handle, worker] : workers) worker->stop_and_join();
    if (pool) pool->stop_and_join();
}

bool live(uintptr_t handle) {
    auto it = g_live.find(handle);
    return it != g_live.end() && it->second > 0;
}

// Counts a call that names a handle no context has (under g_mutex).
void check_live(uintptr_t handle) {
    if (!live(handle)) g_stale_calls.fetch_add(1);
}

// Mode 3 threads, never destroyed (a joinable std::thread must not be), so a
// thread may still be waiting when the process exits.
std::mutex g_linger_mutex;
std::vector<std::thread>* g_lingering = new std::vector<std::thread>;
std::atomic<bool> g_linger_release{false};

void linger() {
    while (!g_linger_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void release_lingering(bool join) {
    g_linger_release.store(true);
    if (!join) return;
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(g_linger_mutex);
        threads.swap(*g_lingering);
    }
    for (std::thread& t : threads) t.join();
}

unsigned long long thread_id() {
    return static_cast<unsigned long long>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

void trace(const char* name) {
    if (const char* path = std::getenv("FAKE_VELKOR_TRACE")) {
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%s\n", name);
            std::fclose(f);
        }
    }
}

Call& begin(const char* name, uintptr_t handle) {
    trace(name);
    g_calls.push_back(Call{name, handle, thread_id(), {}});
    return g_calls.back();
}

void capture_bytes(Call& call, const char* key, const void* data, size_t len) {
    call.captures.push_back({key, data != nullptr, data ? std::string(static_cast<const char*>(data), len) : ""});
}

void capture_str(Call& call, const char* key, const char* text) {
    capture_bytes(call, key, text, text ? std::strlen(text) : 0);
}

template <typename T>
void capture_value(Call& call, const char* key, const T& value) {
    capture_bytes(call, key, &value, sizeof value);
}

uint32_t rc_for(const char* name) {
    auto it = g_rc.find(name);
    return it == g_rc.end() ? 0u : it->second;
}

void emit(const Step& step, uintptr_t handle, void* userdata) {
    KIV_LLMResultCallback result_cb;
    KIV_LLMToolCallCallback tool_cb;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        result_cb = g_result_callbacks[handle];
        tool_cb = g_tool_callbacks[handle];
    }
    void* ud = step.null_userdata ? nullptr : userdata;
    if (step.tool) {
        if (tool_cb) tool_cb(step.name_null ? nullptr : step.name.c_str(), step.args_null ? nullptr : step.args.c_str(), ud);
        return;
    }
    if (!result_cb) return;
    if (step.null_record) {
        result_cb(nullptr, ud, step.state);
        return;
    }
    KIV_LLMResult result{};
    result.text = step.text_null ? nullptr : step.text.c_str();
    result.token_id = step.token_id;
    result.content_type = step.content_type;
    result_cb(&result, ud, step.state);
}

void play(uintptr_t handle, void* userdata, const std::vector<Step>& script, const Stream& stream, int mode) {
    for (const Step& step : script) {
        if (mode == 2) {
            std::thread t(emit, std::cref(step), handle, userdata);
            t.join();
        } else {
            emit(step, handle, userdata);
        }
    }
    if (!stream.enabled) return;
    Step piece;
    piece.text = stream.piece;
    piece.state = stream.state;
    for (int i = 0; (stream.max_pieces <= 0 || i < stream.max_pieces) && !g_break.load(); ++i) {
        piece.token_id = i;
        if (mode == 2) {
            std::thread t(emit, std::cref(piece), handle, userdata);
            t.join();
        } else {
            emit(piece, handle, userdata);
        }
        g_pieces_streamed.fetch_add(1);
        if (stream.sleep_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(stream.sleep_us));
    }
    if (stream.final_state >= 0) {
        Step last;
        last.text_null = true;
        last.state = static_cast<uint32_t>(stream.final_state);
        emit(last, handle, userdata);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_init(LLMContext* handle, const KIV_LLMInitParam* param,
                                                                     KIV_LLMResultCallback callback) {
    if (g_init_delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(g_init_delay_us));
    std::lock_guard<std::mutex> lock(g_mutex);
    Call& call = begin("kiv_llm_init", 0);
    capture_value(call, "handle_in", handle ? *handle : nullptr);
    if (param) {
        capture_bytes(call, "param", param, sizeof *param);
        capture_str(call, "model_path", param->model_path);
        capture_str(call, "mmproj_path", param->mmproj_path);
        capture_str(call, "sampler_params_json", param->init_extend.sampler_params_json);
        capture_str(call, "model_type_override", param->init_extend.model_type_override);
        capture_str(call, "custom_jinja_template", param->init_extend.custom_jinja_template);
        capture_str(call, "mmproj_config", param->init_extend.mmproj_config);
    }
    capture_value(call, "callback", reinterpret_cast<void*>(callback));
    if (g_init_handle != 0 && handle) {
        // A runtime with threads per context hands out a handle per context.
        const bool own_threads = g_thread_mode == 4 || g_thread_mode == 5;
        const uintptr_t h = own_threads ? (g_next_distinct += 0x100) : g_init_handle;
        *handle = reinterpret_cast<LLMContext>(h);
        g_result_callbacks[h] = callback;
        call.handle = h;
        ++g_live[h];
        g_live_contexts.fetch_add(1);
        if (g_thread_mode == 4) {
            std::lock_guard<std::mutex> threads_lock(g_threads_mutex);
            g_workers[h] = new JobThreads(1);
        }
    }
    return rc_for("kiv_llm_init");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_uninit(LLMContext handle) {
    const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    JobThreads* worker = nullptr;
    {
        std::lock_guard<std::mutex> threads_lock(g_threads_mutex);
        auto it = g_workers.find(h);
        if (it != g_workers.end()) {
            worker = it->second;
            g_workers.erase(it);
        }
    }
    // The context's worker ends with it.
    if (worker) {
        worker->stop_and_join();
        delete worker;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    begin("kiv_llm_uninit", h);
    if (live(h)) {
        if (--g_live[h] == 0) {
            g_result_callbacks.erase(h);
            g_tool_callbacks.erase(h);
        }
        g_live_contexts.fetch_sub(1);
    } else {
        g_stale_calls.fetch_add(1);
    }
    return rc_for("kiv_llm_uninit");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_run(LLMContext handle, const KIV_LLMInput* input,
                                                                    const KIV_LLMRunParam* param, void* userdata) {
    std::vector<Step> script;
    Stream stream;
    int mode;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        check_live(reinterpret_cast<uintptr_t>(handle));
        Call& call = begin("kiv_llm_run", reinterpret_cast<uintptr_t>(handle));
        capture_value(call, "userdata", userdata);
        if (input) {
            capture_bytes(call, "input", input, sizeof *input);
            capture_str(call, "prompt", input->prompt);
            capture_str(call, "img_start", input->img_start);
            capture_str(call, "img_end", input->img_end);
            capture_str(call, "img_content", input->img_content);
            for (int i = 0; input->images && i < input->n_images; ++i) {
                const KIV_LLMImageInput& image = input->images[i];
                std::string key = "image[" + std::to_string(i) + "]";
                capture_bytes(call, key.c_str(), &image, sizeof image);
                key = "pixels[" + std::to_string(i) + "]";
                capture_bytes(call, key.c_str(), image.data,
                              image.data ? static_cast<size_t>(image.width) * image.height * 3 : 0);
            }
        }
        if (param) {
            capture_bytes(call, "param", param, sizeof *param);
            capture_str(call, "sampler_params_json", param->run_extend.sampler_params_json);
            capture_str(call, "extra_template_params", param->run_extend.extra_template_params);
            capture_str(call, "tools_schemas", param->run_extend.tools_schemas);
        }
        script = g_script;
        stream = g_stream;
        mode = g_thread_mode;
        g_break.store(false);
    }
    const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    if (mode == 3) {
        // All callbacks still arrive before the run returns; the thread then
        // lives on, holding whatever the callbacks left on it.
        auto played = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard<std::mutex> lock(g_linger_mutex);
            g_lingering->emplace_back([h, userdata, script, stream, played] {
                play(h, userdata, script, stream, 0);
                played->store(true);
                linger();
            });
        }
        while (!played->load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    } else if (mode == 1) {
        std::thread t(play, h, userdata, std::cref(script), std::cref(stream), 0);
        t.join();
    } else if (mode == 4 || mode == 5) {
        JobThreads* threads = mode == 4 ? worker_for(h) : shared_pool();
        if (threads) threads->run([&] { play(h, userdata, script, stream, 0); });
    } else if (mode == 6) {
        play(h, userdata, script, stream, 0);
        // The callback is kept from the run: the late one comes whatever
        // happened to the context or the object since.
        KIV_LLMResultCallback callback;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            callback = g_result_callbacks[h];
        }
        const int delay = g_late_delay_us;
        std::lock_guard<std::mutex> lock(g_threads_mutex);
        g_late.emplace_back([callback, userdata, delay] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            KIV_LLMResult late{};
            late.text = "late";
            if (callback) callback(&late, userdata, 2);
        });
    } else {
        play(h, userdata, script, stream, mode);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    return rc_for("kiv_llm_run");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_reset(LLMContext handle) {
    // A runtime with a worker per context clears the context on its worker.
    if (JobThreads* worker = worker_for(reinterpret_cast<uintptr_t>(handle))) worker->run([] {});
    std::lock_guard<std::mutex> lock(g_mutex);
    check_live(reinterpret_cast<uintptr_t>(handle));
    begin("kiv_llm_reset", reinterpret_cast<uintptr_t>(handle));
    return rc_for("kiv_llm_reset");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_break(LLMContext handle) {
    g_break.store(true);
    g_break_count.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_mutex);
    check_live(reinterpret_cast<uintptr_t>(handle));
    begin("kiv_llm_break", reinterpret_cast<uintptr_t>(handle));
    return rc_for("kiv_llm_break");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_set_chat_template(LLMContext handle, const char* system_prompt,
                                                                                  const char* prompt_prefix,
                                                                                  const char* prompt_postfix) {
    std::lock_guard<std::mutex> lock(g_mutex);
    check_live(reinterpret_cast<uintptr_t>(handle));
    Call& call = begin("kiv_llm_set_chat_template", reinterpret_cast<uintptr_t>(handle));
    capture_str(call, "system_prompt", system_prompt);
    capture_str(call, "prompt_prefix", prompt_prefix);
    capture_str(call, "prompt_postfix", prompt_postfix);
    return rc_for("kiv_llm_set_chat_template");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_set_chat_template_jinja(LLMContext handle,
                                                                                        const char* jinja_template) {
    std::lock_guard<std::mutex> lock(g_mutex);
    check_live(reinterpret_cast<uintptr_t>(handle));
    Call& call = begin("kiv_llm_set_chat_template_jinja", reinterpret_cast<uintptr_t>(handle));
    capture_str(call, "jinja_template", jinja_template);
    return rc_for("kiv_llm_set_chat_template_jinja");
}

__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_set_toolcall_callback(LLMContext handle,
                                                                                      KIV_LLMToolCallCallback callback,
                                                                                      int32_t stop_output) {
    std::lock_guard<std::mutex> lock(g_mutex);
    check_live(reinterpret_cast<uintptr_t>(handle));
    Call& call = begin("kiv_llm_set_toolcall_callback", reinterpret_cast<uintptr_t>(handle));
    capture_value(call, "callback", reinterpret_cast<void*>(callback));
    capture_value(call, "stop_output", stop_output);
    g_tool_callbacks[reinterpret_cast<uintptr_t>(handle)] = callback;
    return rc_for("kiv_llm_set_toolcall_callback");
}

#ifndef FAKE_OMIT_GET_VISION_INFO
__attribute__((visibility("default"))) KIV_LLMRetStatus kiv_llm_get_vision_info(LLMContext handle, KIV_LLMVisionInfo* info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    check_live(reinterpret_cast<uintptr_t>(handle));
    begin("kiv_llm_get_vision_info", reinterpret_cast<uintptr_t>(handle));
    if (g_vision.rc == 0 && info) {
        std::memcpy(info, g_vision.record, sizeof g_vision.record);
        info->inputs = g_vision.inputs_mode ? g_vision.entry : nullptr;
    }
    return g_vision.rc;
}
#endif

// ---- control API for the tests ----

FAKE_API void fake_reset(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_rc.clear();
    g_init_handle = 0x1000;
    g_result_callbacks.clear();
    g_tool_callbacks.clear();
    g_script.clear();
    g_thread_mode = 0;
    g_stream = Stream{};
    g_break.store(false);
    g_break_count.store(0);
    g_pieces_streamed.store(0);
    g_vision = Vision{};
    g_init_delay_us = 0;
    g_late_delay_us = 0;
    g_stale_calls.store(0);
}

// Forgets the call log only (long loops would otherwise grow it).
FAKE_API void fake_clear_log(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
}

FAKE_API void fake_set_rc(const char* name, uint32_t rc) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rc[name] = rc;
}

FAKE_API void fake_set_init_handle(uintptr_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_init_handle = handle;
}

FAKE_API int fake_call_count(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_calls.size());
}

FAKE_API const char* fake_call_name(int i) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls.at(i).name.c_str();
}

FAKE_API uintptr_t fake_call_handle(int i) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls.at(i).handle;
}

FAKE_API unsigned long long fake_call_thread(int i) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls.at(i).thread;
}

// 1: captured and non-NULL (data, len set); 0: the pointer was NULL; -1: no such capture.
FAKE_API int fake_capture(int i, const char* key, const char** data, size_t* len) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Capture& c : g_calls.at(i).captures) {
        if (c.key == key) {
            *data = c.bytes.data();
            *len = c.bytes.size();
            return c.present ? 1 : 0;
        }
    }
    return -1;
}

FAKE_API void fake_script_clear(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.clear();
    g_stream = Stream{};
}

FAKE_API void fake_script_result(int null_record, const char* text, size_t len, int text_null, int32_t token_id,
                                 uint32_t content_type, uint32_t state, int null_userdata) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Step step;
    step.null_record = null_record != 0;
    step.text_null = text_null != 0;
    step.text = text ? std::string(text, len) : std::string();
    step.token_id = token_id;
    step.content_type = content_type;
    step.state = state;
    step.null_userdata = null_userdata != 0;
    g_script.push_back(step);
}

FAKE_API void fake_script_tool(const char* name, size_t name_len, int name_null, const char* args, size_t args_len,
                               int args_null, int null_userdata) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Step step;
    step.tool = true;
    step.name_null = name_null != 0;
    step.name = name ? std::string(name, name_len) : std::string();
    step.args_null = args_null != 0;
    step.args = args ? std::string(args, args_len) : std::string();
    step.null_userdata = null_userdata != 0;
    g_script.push_back(step);
}

FAKE_API void fake_set_thread_mode(int mode) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_thread_mode = mode;
}

FAKE_API void fake_set_stream(const char* piece, uint32_t state, int max_pieces, int sleep_us, int64_t final_state) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stream.enabled = true;
    g_stream.piece = piece ? piece : "";
    g_stream.state = state;
    g_stream.max_pieces = max_pieces;
    g_stream.sleep_us = sleep_us;
    g_stream.final_state = final_state;
}

// Lets the mode 3 threads end; with `join`, waits until they have exited.
FAKE_API void fake_release_lingering(int join) { release_lingering(join != 0); }

// Releases and joins the mode 3 threads when the process exits (after the
// interpreter has been finalised).
FAKE_API void fake_release_lingering_at_exit(void) {
    std::atexit([] { release_lingering(true); });
}

FAKE_API void fake_set_init_delay(int us) { g_init_delay_us = us; }
FAKE_API void fake_set_late_delay(int us) { g_late_delay_us = us; }
FAKE_API int fake_live_contexts(void) { return g_live_contexts.load(); }
FAKE_API int fake_stale_calls(void) { return g_stale_calls.load(); }
// Waits for the late callbacks of mode 6.
FAKE_API void fake_join_late(void) {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(g_threads_mutex);
        threads.swap(g_late);
    }
    for (std::thread& t : threads) t.join();
}

FAKE_API int fake_pieces_streamed(void) { return g_pieces_streamed.load(); }
FAKE_API int fake_break_count(void) { return g_break_count.load(); }

FAKE_API void fake_set_vision(const unsigned char* record, uint32_t rc, int inputs_mode, int32_t height, int32_t width) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (record) std::memcpy(g_vision.record, record, sizeof g_vision.record);
    g_vision.rc = rc;
    g_vision.inputs_mode = inputs_mode;
    std::memcpy(g_vision.entry + 136, &height, sizeof height);
    std::memcpy(g_vision.entry + 140, &width, sizeof width);
}

__attribute__((destructor)) static void fake_unloaded() { trace("unloaded"); }

}  // extern "C"
