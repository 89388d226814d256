// LLM runtime (libvelkor.so) on llama.cpp.
//
// Honours the binary interface of the device's LLM runtime with a real model:
// a GGUF file is loaded once per process and shared by the contexts made with
// it, every run samples tokens from it and streams them through the result
// callback on the calling thread.
// ../README.md (section "Real engines") gives every rule below. The entry
// points, the threads and the stream are the frame's (../frame/llm_frame.cpp);
// this file is the backend. The context's stop flag, which kiv_llm_break
// sets, is read by llama.cpp's abort callback inside a decode and by the
// frame between tokens.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "common.h"
#include "llama.h"
#include "log.h"
#include "sampling.h"

#include "compute_threads.h"
#include "engine_common.h"
#include "llm_chat.h"
#include "llm_output.h"
#include "llm_settings.h"

namespace {

using kiveng::ChatPrompt;
using kiveng::ChatTemplates;
using kiveng::ComputeThreads;
using kiveng::Piece;
using kiveng::RequestError;
using kiveng::Settings;
using kivrt::log_line;

constexpr uint32_t kDefaultContext = 4096;
constexpr uint32_t kBatch = 512;

// Set on the thread that decodes while a break may abort the decode: the
// engine reports an aborted decode as an error, which a break is not.
thread_local const std::atomic<bool>* t_stop_of_decode = nullptr;

// The engine's errors reach stderr (those of a decode aborted by a break
// excepted); with KIV_ENGINE_LOG its other messages too, less the debugging
// ones. A continuation line follows the level of the line it continues.
void on_engine_log(ggml_log_level level, const char* text, void*) {
    static thread_local ggml_log_level last = GGML_LOG_LEVEL_NONE;
    if (level == GGML_LOG_LEVEL_CONT) level = last;
    last = level;
    const bool enabled = kiveng::engine_log_enabled();
    if (level == GGML_LOG_LEVEL_ERROR && !enabled && t_stop_of_decode != nullptr && t_stop_of_decode->load()) return;
    if (level == GGML_LOG_LEVEL_ERROR || (level != GGML_LOG_LEVEL_DEBUG && enabled)) std::fputs(text, stderr);
}

void init_engine_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        llama_log_set(on_engine_log, nullptr);
        common_log_set_verbosity_thold(kiveng::engine_log_enabled() ? LOG_DEFAULT_LLAMA : LOG_LEVEL_ERROR);
        llama_backend_init();
    });
}

// ---------------------------------------------------------------------------
// Models

// The loaded model of a file, shared by every context made with it in this
// process and freed with the last of them: the weights are read and held
// once, however many contexts serve them (each has its own memory of tokens).
// A file counts as the same while it is the same file, unchanged (device,
// inode, size and modification time): a model file replaced on disk is loaded anew.
std::shared_ptr<llama_model> shared_model(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return nullptr;
    using Key = std::tuple<dev_t, ino_t, off_t, int64_t, int64_t>;
    const Key key{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    static std::mutex mutex;
    static std::map<Key, std::weak_ptr<llama_model>> loaded;
    // Held during the load: a second context of the file waits for this load instead of making its own.
    std::lock_guard<std::mutex> lock(mutex);
    std::erase_if(loaded, [](const auto& entry) { return entry.second.expired(); });
    if (auto it = loaded.find(key); it != loaded.end())
        if (std::shared_ptr<llama_model> model = it->second.lock()) return model;
    llama_model* raw = llama_model_load_from_file(path, llama_model_default_params());
    if (raw == nullptr) return nullptr;
    std::shared_ptr<llama_model> model(raw, llama_model_free);
    loaded[key] = model;
    return model;
}

// ---------------------------------------------------------------------------
// Contexts

// The engine's objects of one context and the conversation it keeps.
struct EngineContext {
    explicit EngineContext(const kivrt::StopFlag& stop) : stop(stop) {}

    const kivrt::StopFlag& stop;
    std::shared_ptr<llama_model> model;             // shared with the other contexts of its file
    kiveng::Owned<llama_context, llama_free> lctx;  // freed before the model
    const llama_vocab* vocab = nullptr;
    uint32_t n_ctx = 0;
    Settings settings;  // from the init record, fixed afterwards
    int threads = 1;    // the most one decode uses; also this context's claim on the process's budget
    std::optional<ComputeThreads::Claim> claim;

    std::mutex templates_mutex;  // kiv_llm_set_chat_template_jinja may replace them at any time
    std::shared_ptr<const ChatTemplates> templates;

    // The conversation kept for retain_history, touched by runs and resets only.
    std::vector<common_chat_msg> conversation;  // messages of the kept chat
    std::vector<llama_token> history;           // tokens of the kept plain-prompt text
    // The tokens whose keys and values are in lctx, from position 0. They
    // outlive the conversation (a reset or a run that keeps nothing): a run
    // computes only what follows the longest common prefix of its prompt and
    // these, which is what computing the whole prompt would give.
    std::vector<llama_token> cached;

    std::shared_ptr<const ChatTemplates> current_templates() {
        std::lock_guard<std::mutex> lock(templates_mutex);
        return templates;
    }
};

bool abort_requested(void* data) {
    return static_cast<const kivrt::StopFlag*>(data)->flag().load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Runs

// Arguments as compact JSON text, keys in the model's order ("{}" for none;
// text that is not JSON is passed on as it is).
std::string compact_json(const std::string& text) {
    if (text.empty()) return "{}";
    const auto doc = nlohmann::ordered_json::parse(text, nullptr, false);
    return doc.is_discarded() ? text : doc.dump();
}

struct RunFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<llama_token> tokenize(const llama_vocab* vocab, const std::string& text, bool add_special) {
    return common_tokenize(vocab, text, add_special, /*parse_special=*/true);
}

// One run: the prompt is decoded on the first step, every later step samples
// and delivers one token.
class EngineRun : public kivrt::Generation {
public:
    EngineRun(EngineContext& ctx, const KIV_LLMInput& input, const KIV_LLMRunParam& param,
              const kivrt::RunSettings& snap)
        : ctx_(ctx), input_(input), param_(param), snap_(snap), templates_(ctx.current_templates()) {
        prepare();
        tracker_.emplace(chat_ && chat_->needs_parsing ? &chat_->parser : nullptr);
    }

    bool step(const kivrt::Stream& out) override {
        if (!ingested_) {
            ingested_ = true;
            threads_ = settings_.n_threads > 0 ? settings_.n_threads : ctx_.threads;
            active_.emplace(ComputeThreads::process());
            return ingest_prompt();
        }
        const size_t limit = settings_.max_tokens < 0 ? SIZE_MAX : static_cast<size_t>(settings_.max_tokens);
        if (generated_.size() >= limit) return false;
        const llama_token token = common_sampler_sample(sampler_.get(), ctx_.lctx.get(), -1);
        common_sampler_accept(sampler_.get(), token, true);
        if (llama_vocab_is_eog(ctx_.vocab, token)) {
            complete_ = true;
            return false;
        }
        generated_.push_back(token);
        tracker_->add(token, common_token_to_piece(ctx_.vocab, token, preserved_.count(token) > 0), ready_);
        deliver(out);
        // A break from a callback or another thread, or a full context, ends the run here.
        if (out.stopped()) return false;
        if (ctx_.cached.size() + 1 >= ctx_.n_ctx) {
            full_ = true;  // cut short: the last callback says so (CONTEXT_FULL)
            return false;
        }
        llama_token next = token;
        return decode(&next, 1);
    }

    bool context_full() const override { return full_; }

    void finish(const kivrt::Stream& out) override {
        const bool broken_off = out.stopped();
        const common_chat_msg message = tracker_->finish(complete_, ready_);
        deliver(out);
        if (chat_ && chat_->parse_tool_calls && complete_ && !broken_off)
            for (const common_chat_tool_call& call : message.tool_calls)
                out.tool_call(call.name, compact_json(call.arguments));

        if (retain_) {
            if (chat_) {
                ctx_.conversation = std::move(conversation_);
                ctx_.conversation.push_back(message);
            } else {
                ctx_.history = std::move(tokens_);
                ctx_.history.insert(ctx_.history.end(), generated_.begin(), generated_.end());
            }
        }
    }

private:
    void prepare() {
        if (param_.run_mode != 0) {
            const std::string reason = "run mode " + std::to_string(param_.run_mode) +
                                       " is not supported: this runtime only generates text (run mode 0)";
            log_line(reason);
            throw RequestError(reason);
        }
        if (input_.type != KIV_LLM_INPUT_PROMPT && input_.type != KIV_LLM_INPUT_MESSAGES)
            throw RequestError("input type " + std::to_string(input_.type) + " is not supported");
        if (input_.n_images != 0)
            throw RequestError("images are not supported: this runtime has no vision projector");
        const std::string prompt = input_.prompt ? input_.prompt : "";
        if (!kivrt::valid_utf8(prompt)) throw RequestError("the prompt is not valid UTF-8");

        settings_ = ctx_.settings;
        try {
            settings_.apply_run_record(param_);
            settings_.apply_json(param_.run_extend.sampler_params_json, false);
        } catch (const kiveng::SettingsError& e) {
            throw RequestError(e.what());
        }

        retain_ = param_.retain_history != 0;
        if (!retain_) {
            ctx_.conversation.clear();
            ctx_.history.clear();
        }
        if (input_.type == KIV_LLM_INPUT_MESSAGES || param_.run_extend.disable_chat_template == 0)
            chat_tokens(prompt);
        else
            plain_tokens(prompt);
        if (kiveng::engine_log_enabled())
            log_line("prompt of " + std::to_string(tokens_.size()) + " tokens" +
                     (chat_ ? std::string(chat_->needs_parsing ? ", output parsed" : ", output is answer text")
                            : std::string()) +
                     ":\n" + common_detokenize(ctx_.vocab, tokens_) +
                     (chat_ ? "\ngrammar (" + std::string(chat_->params.grammar_lazy ? "lazy" : "strict") + "):\n" +
                                  chat_->params.grammar
                            : std::string()));
        if (tokens_.empty()) throw RequestError("the prompt is empty: there is nothing to generate from");
        if (tokens_.size() >= ctx_.n_ctx)
            throw kivrt::ContextExceeded("the prompt has " + std::to_string(tokens_.size()) +
                                             " tokens, more than the context holds (" + std::to_string(ctx_.n_ctx) +
                                             ")",
                                         tokens_.size());
        make_sampler();
    }

    // The conversation so far and this run's messages, through the chat template.
    void chat_tokens(const std::string& prompt) {
        std::vector<common_chat_msg> messages;
        if (input_.type == KIV_LLM_INPUT_MESSAGES) {
            messages = kiveng::parse_messages(prompt);
        } else {
            // A plain prompt through the chat template: one user turn, with the simple template around it.
            if (ctx_.conversation.empty() && !snap_.system_prompt.empty()) {
                common_chat_msg system;
                system.role = "system";
                system.content = snap_.system_prompt;
                messages.push_back(std::move(system));
            }
            common_chat_msg user;
            user.role = "user";
            user.content = snap_.prompt_prefix + prompt + snap_.prompt_postfix;
            messages.push_back(std::move(user));
        }
        conversation_ = ctx_.conversation;
        conversation_.insert(conversation_.end(), messages.begin(), messages.end());
        chat_ = kiveng::render_chat(*templates_, conversation_, param_);
        tokens_ = tokenize(ctx_.vocab, chat_->prompt, true);
    }

    // The kept text and this prompt, with the simple template around it, as given.
    void plain_tokens(const std::string& prompt) {
        const bool first = ctx_.history.empty();
        const std::string text =
            (first ? snap_.system_prompt : std::string()) + snap_.prompt_prefix + prompt + snap_.prompt_postfix;
        tokens_ = ctx_.history;
        const std::vector<llama_token> more = tokenize(ctx_.vocab, text, first);
        tokens_.insert(tokens_.end(), more.begin(), more.end());
    }

    void make_sampler() {
        common_params_sampling sp;
        sp.no_perf = true;
        settings_.fill(sp);
        if (chat_) {
            const common_chat_params& cp = chat_->params;
            sp.generation_prompt = cp.generation_prompt;
            for (const std::string& t : cp.preserved_tokens) {
                const auto ids = tokenize(ctx_.vocab, t, false);
                if (ids.size() == 1) sp.preserved_tokens.insert(ids[0]);
            }
            if (!cp.grammar.empty()) {
                // The engine's own tool-call grammars start with the generation
                // prompt, which the sampler feeds them first; the forced-call
                // grammar starts with the reply itself.
                sp.grammar = common_grammar(
                    chat_->forced_grammar ? COMMON_GRAMMAR_TYPE_USER : COMMON_GRAMMAR_TYPE_TOOL_CALLS, cp.grammar);
                sp.grammar_lazy = cp.grammar_lazy;
                for (const common_grammar_trigger& trigger : cp.grammar_triggers) {
                    // A trigger word that is one preserved token triggers on that token.
                    if (trigger.type == COMMON_GRAMMAR_TRIGGER_TYPE_WORD) {
                        const auto ids = tokenize(ctx_.vocab, trigger.value, false);
                        if (ids.size() == 1 && sp.preserved_tokens.count(ids[0])) {
                            sp.grammar_triggers.push_back({COMMON_GRAMMAR_TRIGGER_TYPE_TOKEN, trigger.value, ids[0]});
                            continue;
                        }
                    }
                    sp.grammar_triggers.push_back(trigger);
                }
            }
        }
        preserved_ = sp.preserved_tokens;
        try {
            sampler_.reset(common_sampler_init(ctx_.model.get(), sp));
        } catch (const std::exception& e) {
            throw RequestError(std::string("the sampler cannot be made: ") + e.what());
        }
        if (!sampler_) throw RequestError("the sampler cannot be made");
    }

    // Decodes tokens_ from the first one whose keys and values are not cached,
    // whichever run or conversation cached them. Returns false when a break cut it short.
    bool ingest_prompt() {
        llama_memory_t mem = llama_get_memory(ctx_.lctx.get());
        size_t keep = 0;
        while (keep < ctx_.cached.size() && keep < tokens_.size() && ctx_.cached[keep] == tokens_[keep]) ++keep;
        if (keep == tokens_.size()) --keep;  // the last token is decoded again for its logits
        if (!llama_memory_seq_rm(mem, 0, static_cast<llama_pos>(keep), -1)) {
            llama_memory_clear(mem, false);
            keep = 0;
        }
        ctx_.cached.resize(keep);
        // The engine may hold fewer tokens per batch than asked for (never more than the context).
        const size_t batch = llama_n_batch(ctx_.lctx.get());
        for (size_t i = keep; i < tokens_.size(); i += batch) {
            const size_t n = std::min(batch, tokens_.size() - i);
            if (!decode(&tokens_[i], n)) return false;
        }
        return true;
    }

    // One llama_decode; keeps `cached` in step with the context's memory.
    // False when a break aborted it; throws on a failure.
    bool decode(llama_token* tokens, size_t n) {
        const ComputeThreads::Grant grant = ComputeThreads::process().acquire(threads_, ctx_.stop.flag());
        if (grant.threads() == 0) return false;  // a break came while other decodes held the threads
        llama_set_n_threads(ctx_.lctx.get(), grant.threads(), grant.threads());
        t_stop_of_decode = &ctx_.stop.flag();
        const int32_t rc = llama_decode(ctx_.lctx.get(), llama_batch_get_one(tokens, static_cast<int32_t>(n)));
        t_stop_of_decode = nullptr;
        if (rc == 0) {
            ctx_.cached.insert(ctx_.cached.end(), tokens, tokens + n);
            return true;
        }
        // An aborted or failed batch may leave part of itself behind.
        llama_memory_seq_rm(llama_get_memory(ctx_.lctx.get()), 0, static_cast<llama_pos>(ctx_.cached.size()), -1);
        if (rc == 2) return false;
        throw RunFailure("the engine failed to decode (llama_decode returned " + std::to_string(rc) + ")");
    }

    void deliver(const kivrt::Stream& out) {
        for (const Piece& p : ready_) out.piece(p.text, p.token, p.type);
        ready_.clear();
    }

    EngineContext& ctx_;
    const KIV_LLMInput& input_;
    const KIV_LLMRunParam& param_;
    const kivrt::RunSettings snap_;
    const std::shared_ptr<const ChatTemplates> templates_;

    Settings settings_;
    bool retain_ = false;
    std::optional<ChatPrompt> chat_;
    std::vector<common_chat_msg> conversation_;
    std::vector<llama_token> tokens_;
    std::set<llama_token> preserved_;
    common_sampler_ptr sampler_;

    bool ingested_ = false;
    int threads_ = 1;                                  // the most one decode of this run uses
    std::optional<ComputeThreads::Active> active_;    // from the first decode to the end of the run
    bool complete_ = false;  // the model ended its turn
    bool full_ = false;      // the context filled up before the model ended its turn
    std::optional<kiveng::OutputTracker> tracker_;  // made once chat_ is settled: it points into it
    std::vector<Piece> ready_;
    std::vector<llama_token> generated_;
};

std::unique_ptr<EngineContext> make_context(const KIV_LLMInitParam& param, const kivrt::StopFlag& stop) {
    // The record is packed: read its pointers into locals first.
    const char* model_path = param.model_path;
    const char* mmproj = param.mmproj_path;
    const char* sampler_params = param.init_extend.sampler_params_json;
    const char* jinja = param.init_extend.custom_jinja_template;
    const KIV_LLMSamplingMode mode = param.sampling_mode;

    if (mmproj != nullptr && *mmproj != '\0') {
        log_line(std::string("mmproj_path ") + mmproj +
                 ": vision projectors are not supported by this runtime (images need the deterministic "
                 "reference runtime)");
        return nullptr;
    }
    if (model_path == nullptr || *model_path == '\0') {
        log_line("no model file given (model_path is empty)");
        return nullptr;
    }
    if (!kivrt::is_regular_file(model_path)) {
        log_line(std::string("model file ") + model_path + ": not found or not a regular file");
        return nullptr;
    }
    if (mode > kiveng::kChain) {
        log_line("sampling mode " + std::to_string(mode) + " is unknown");
        return nullptr;
    }
    auto ctx = std::make_unique<EngineContext>(stop);
    ctx->settings.mode = mode;
    int32_t n_ctx = 0;
    try {
        ctx->settings.apply_json(sampler_params, true, &n_ctx);
    } catch (const kiveng::SettingsError& e) {
        log_line(e.what());
        return nullptr;
    }

    init_engine_once();
    ctx->model = shared_model(model_path);
    if (!ctx->model) {
        log_line(std::string("model file ") + model_path + ": the engine cannot load it (not a GGUF model?)");
        return nullptr;
    }
    ctx->vocab = llama_model_get_vocab(ctx->model.get());
    const int32_t trained = llama_model_n_ctx_train(ctx->model.get());
    ctx->n_ctx = n_ctx > 0 ? static_cast<uint32_t>(n_ctx)
                           : std::min<uint32_t>(kDefaultContext, trained > 0 ? trained : kDefaultContext);

    llama_context_params cp = llama_context_default_params();
    cp.n_ctx = ctx->n_ctx;
    cp.n_batch = kBatch;
    cp.n_ubatch = kBatch;
    // Flash attention's tiled kernel rounds differently for a batch than for
    // one token: without it, a conversation the context goes on from gives the
    // replies it would give computed afresh.
    cp.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_DISABLED;
    ctx->threads = ctx->settings.n_threads > 0 ? ctx->settings.n_threads : kiveng::default_threads();
    cp.n_threads = ctx->threads;
    cp.n_threads_batch = ctx->threads;
    cp.no_perf = true;
    cp.abort_callback = abort_requested;
    cp.abort_callback_data = const_cast<kivrt::StopFlag*>(&stop);
    ctx->lctx.reset(llama_init_from_model(ctx->model.get(), cp));
    if (!ctx->lctx) {
        log_line("the engine cannot make a context of " + std::to_string(ctx->n_ctx) + " tokens");
        return nullptr;
    }
    ctx->n_ctx = llama_n_ctx(ctx->lctx.get());
    ctx->claim.emplace(ComputeThreads::process(), ctx->threads);
    try {
        ctx->templates = std::make_shared<ChatTemplates>(ctx->model.get(), jinja ? jinja : "");
    } catch (const RequestError& e) {
        log_line(e.what());
        return nullptr;
    }
    return ctx;
}

class EngineBackend : public kivrt::Backend {
public:
    explicit EngineBackend(std::unique_ptr<EngineContext> ctx) : ctx_(std::move(ctx)) {}

    std::unique_ptr<kivrt::Generation> start(const KIV_LLMInput& input, const KIV_LLMRunParam& param,
                                             const kivrt::RunSettings& settings) override {
        return std::make_unique<EngineRun>(*ctx_, input, param, settings);
    }

    // The computed tokens stay: the next run reuses only the prefix its own prompt shares with them.
    void forget_history() override {
        ctx_->conversation.clear();
        ctx_->history.clear();
    }

    bool set_jinja_template(const char* text) override {
        std::shared_ptr<const ChatTemplates> templates;
        try {
            templates = std::make_shared<ChatTemplates>(ctx_->model.get(), text ? text : "");
        } catch (const RequestError& e) {
            log_line(e.what());
            return false;
        }
        std::lock_guard<std::mutex> lock(ctx_->templates_mutex);
        ctx_->templates = std::move(templates);
        return true;
    }
    // No context of this runtime has a vision projector: the frame's vision_info answers 1.

private:
    std::unique_ptr<EngineContext> ctx_;
};

}  // namespace

const char* const kivrt::kLlmRuntimeName = "velkor engine";

std::unique_ptr<kivrt::Backend> kivrt::make_llm_backend(const KIV_LLMInitParam& param, const StopFlag& stop) {
    std::unique_ptr<EngineContext> ctx = make_context(param, stop);
    if (!ctx) return nullptr;
    return std::make_unique<EngineBackend>(std::move(ctx));
}
