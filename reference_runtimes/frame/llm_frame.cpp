#include "frame/llm_frame.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <unordered_map>
#include <utility>

#include "velkor/velkor_loader.h"  // the entry points' prototypes, checked against the definitions below

namespace kivrt {

constexpr KIV_LLMRunStatus kStateNormal = 0;
constexpr KIV_LLMRunStatus kStateFinish = 2;
constexpr KIV_LLMRunStatus kStateError = 3;
constexpr KIV_LLMRunStatus kStateContextFull = 4;
constexpr KIV_LLMRunStatus kStateContextExceeded = 5;

void log_line(const std::string& message) { std::fprintf(stderr, "[%s] %s\n", kLlmRuntimeName, message.c_str()); }

void StopFlag::set() {
    flag_.store(true);
    { std::lock_guard<std::mutex> lock(wake_mutex_); }
    wake_.notify_all();
}

bool StopFlag::pause(long ms) const {
    if (ms <= 0) return !is_set();
    std::unique_lock<std::mutex> lock(wake_mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return is_set(); });
}

void Stream::deliver(const char* text, int32_t token_id, KIV_LLMMessageType type, KIV_LLMRunStatus state) const {
    if (on_result_ == nullptr) return;
    KIV_LLMResult result{text, token_id, type};
    on_result_(&result, userdata_, state);
}

void Stream::piece(const std::string& text, int32_t token_id, KIV_LLMMessageType type) const {
    if (type == KIV_LLM_MESSAGE_TOOL_CALL && settings_.hides_tool_call_text()) return;
    deliver(text.c_str(), token_id, type, kStateNormal);
}

void Stream::tool_call(const std::string& name, const std::string& arguments) const {
    if (settings_.on_tool_call != nullptr) settings_.on_tool_call(name.c_str(), arguments.c_str(), userdata_);
}

void Stream::finish(bool context_full) const { deliver("", 0, 0, context_full ? kStateContextFull : kStateFinish); }

void Stream::exceeded(const ContextExceeded& error) const {
    const auto tokens = static_cast<int32_t>(std::min<size_t>(error.prompt_tokens, INT32_MAX));
    deliver(error.what(), tokens, 0, kStateContextExceeded);
}

void Stream::fail(const std::string& reason) const { deliver(reason.c_str(), 0, 0, kStateError); }

}  // namespace kivrt

namespace {

using kivrt::log_line;

struct Context {
    kivrt::StopFlag stop;
    KIV_LLMResultCallback on_result = nullptr;

    std::mutex mutex;  // guards the fields up to `backend`; never held during a callback
    kivrt::RunSettings settings;
    bool running = false;
    bool released = false;         // kiv_llm_uninit took the handle: no run may start
    bool reset_requested = false;  // a reset that came during a run, applied at its end

    std::unique_ptr<kivrt::Backend> backend;  // declared last: freed before the stop flag it may watch
};

std::mutex g_registry_mutex;
std::unordered_map<void*, std::shared_ptr<Context>> g_contexts;

std::shared_ptr<Context> find_context(void* handle) {
    if (handle == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    auto it = g_contexts.find(handle);
    return it == g_contexts.end() ? nullptr : it->second;
}

const KIV_LLMRunParam kDefaultRunParam{};

KIV_LLMRetStatus run(Context& ctx, const KIV_LLMInput* input, const KIV_LLMRunParam* param, void* userdata) {
    kivrt::RunSettings settings;
    const char* refusal = nullptr;
    {
        std::lock_guard<std::mutex> lock(ctx.mutex);
        if (ctx.running) {
            refusal = "another run is in progress on this context";
        } else if (ctx.released) {
            refusal = "the context was released";
        } else {
            ctx.running = true;
            // A break that came while no run was in progress is dropped here;
            // one that comes from now on stops this run.
            ctx.stop.clear();
            settings = ctx.settings;
        }
    }
    const kivrt::Stream out(ctx.on_result, settings, ctx.stop, userdata);
    if (refusal != nullptr) {
        out.fail(refusal);  // after the lock: the callback may call into this context
        return 1;
    }
    struct Running {
        Context& ctx;
        ~Running() {
            std::lock_guard<std::mutex> lock(ctx.mutex);
            if (ctx.reset_requested) ctx.backend->forget_history();
            ctx.reset_requested = false;
            ctx.running = false;
        }
    } running{ctx};

    bool context_full = false;
    try {
        if (input == nullptr) throw kivrt::RequestError("no input record");
        const std::unique_ptr<kivrt::Generation> generation =
            ctx.backend->start(*input, param ? *param : kDefaultRunParam, settings);
        while (!out.stopped() && generation->step(out)) {
        }
        generation->finish(out);
        context_full = generation->context_full();
    } catch (const kivrt::ContextExceeded& e) {
        out.exceeded(e);
        return 1;
    } catch (const std::exception& e) {
        out.fail(e.what());
        return 1;
    }
    out.finish(context_full);
    return 0;
}

template <typename F>
KIV_LLMRetStatus guarded(F&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        log_line(std::string("internal error: ") + e.what());
    } catch (...) {
        log_line("internal error");
    }
    return 1;
}

// An entry point that works on a live context: 1 for a NULL or released handle.
template <typename F>
KIV_LLMRetStatus with_context(void* handle, F&& body) {
    return guarded([&]() -> KIV_LLMRetStatus {
        std::shared_ptr<Context> ctx = find_context(handle);
        return ctx ? body(*ctx) : 1;
    });
}

}  // namespace

KIV_LLMRetStatus kiv_llm_init(LLMContext* handle, const KIV_LLMInitParam* param, KIV_LLMResultCallback callback) {
    return guarded([&]() -> KIV_LLMRetStatus {
        if (handle == nullptr || param == nullptr) return 1;
        auto ctx = std::make_shared<Context>();
        ctx->backend = kivrt::make_llm_backend(*param, ctx->stop);
        if (!ctx->backend) return 1;
        ctx->on_result = callback;
        {
            std::lock_guard<std::mutex> lock(g_registry_mutex);
            g_contexts.emplace(ctx.get(), ctx);
        }
        *handle = ctx.get();
        return 0;
    });
}

KIV_LLMRetStatus kiv_llm_uninit(LLMContext handle) {
    return guarded([&]() -> KIV_LLMRetStatus {
        std::shared_ptr<Context> ctx;
        {
            std::lock_guard<std::mutex> lock(g_registry_mutex);
            auto it = g_contexts.find(handle);
            if (handle == nullptr || it == g_contexts.end()) return 1;
            ctx = std::move(it->second);
            g_contexts.erase(it);
        }
        {
            // A run that has not started yet will not; one still going on
            // another thread ends soon and frees the context.
            std::lock_guard<std::mutex> lock(ctx->mutex);
            ctx->released = true;
        }
        ctx->stop.set();
        return 0;
    });
}

KIV_LLMRetStatus kiv_llm_run(LLMContext handle, const KIV_LLMInput* input, const KIV_LLMRunParam* param,
                             void* userdata) {
    return with_context(handle, [&](Context& ctx) { return run(ctx, input, param, userdata); });
}

KIV_LLMRetStatus kiv_llm_reset(LLMContext handle) {
    return with_context(handle, [&](Context& ctx) -> KIV_LLMRetStatus {
        std::lock_guard<std::mutex> lock(ctx.mutex);
        if (ctx.running)
            ctx.reset_requested = true;
        else
            ctx.backend->forget_history();
        return 0;
    });
}

KIV_LLMRetStatus kiv_llm_break(LLMContext handle) {
    return with_context(handle, [&](Context& ctx) -> KIV_LLMRetStatus {
        ctx.stop.set();
        return 0;
    });
}

KIV_LLMRetStatus kiv_llm_set_chat_template(LLMContext handle, const char* system_prompt, const char* prompt_prefix,
                                           const char* prompt_postfix) {
    return with_context(handle, [&](Context& ctx) -> KIV_LLMRetStatus {
        std::lock_guard<std::mutex> lock(ctx.mutex);
        ctx.settings.system_prompt = system_prompt ? system_prompt : "";
        ctx.settings.prompt_prefix = prompt_prefix ? prompt_prefix : "";
        ctx.settings.prompt_postfix = prompt_postfix ? prompt_postfix : "";
        return 0;
    });
}

KIV_LLMRetStatus kiv_llm_set_chat_template_jinja(LLMContext handle, const char* jinja_template) {
    return with_context(handle, [&](Context& ctx) -> KIV_LLMRetStatus {
        return ctx.backend->set_jinja_template(jinja_template) ? 0 : 1;
    });
}

KIV_LLMRetStatus kiv_llm_set_toolcall_callback(LLMContext handle, KIV_LLMToolCallCallback callback,
                                               int32_t stop_output) {
    return with_context(handle, [&](Context& ctx) -> KIV_LLMRetStatus {
        std::lock_guard<std::mutex> lock(ctx.mutex);
        ctx.settings.on_tool_call = callback;
        ctx.settings.stop_output = stop_output;
        return 0;
    });
}

KIV_LLMRetStatus kiv_llm_get_vision_info(LLMContext handle, KIV_LLMVisionInfo* info) {
    return with_context(handle, [&](Context& ctx) -> KIV_LLMRetStatus {
        return info == nullptr ? 1 : ctx.backend->vision_info(*info);
    });
}
