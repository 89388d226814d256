// The frame of every stand-in LLM runtime (libvelkor.so): the nine entry
// points, the registry of handles, the guarded entry, one run at a time per
// context, break and release, and the stream of a run's output. A runtime
// supplies its backend: kLlmRuntimeName and make_llm_backend() below.
//
// Threads: each context has a mutex for its settings and run state, and a
// stop flag that kiv_llm_break and kiv_llm_uninit set. A run works and calls
// back on the calling thread; no lock is ever held while a callback runs, so a
// callback may call any entry point. A run holds its own reference to the
// context, so kiv_llm_uninit on another thread cannot free it under the run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "velkor/velkor_records.h"

namespace kivrt {

// A request the runtime refuses: the run ends with state ERROR and this text.
struct RequestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A prompt longer than the context holds: the run ends with state
// CONTEXT_EXCEEDED, this text, and the prompt's length in tokens as the token id.
struct ContextExceeded : RequestError {
    ContextExceeded(const std::string& reason, size_t tokens) : RequestError(reason), prompt_tokens(tokens) {}
    size_t prompt_tokens;
};

// Set by kiv_llm_break and kiv_llm_uninit; cleared when a run starts, so a
// break that arrives while no run is in progress is dropped.
class StopFlag {
public:
    bool is_set() const { return flag_.load(); }
    const std::atomic<bool>& flag() const { return flag_; }
    void set();
    void clear() { flag_.store(false); }
    // Sleeps for `ms` milliseconds unless the flag is or gets set; true when it is not set.
    bool pause(long ms) const;

private:
    std::atomic<bool> flag_{false};
    mutable std::mutex wake_mutex_;  // only to pair with wake_
    mutable std::condition_variable wake_;
};

// What a run reads from its context, taken when it starts.
struct RunSettings {
    std::string system_prompt, prompt_prefix, prompt_postfix;  // the simple chat template
    KIV_LLMToolCallCallback on_tool_call = nullptr;
    int32_t stop_output = 0;

    // A tool-call callback registered with stop_output set takes the calls:
    // their text is left out of the stream. Without a callback it stays in.
    bool hides_tool_call_text() const { return on_tool_call != nullptr && stop_output != 0; }
};

// Where a run's output goes, on the thread of the run.
class Stream {
public:
    Stream(KIV_LLMResultCallback on_result, const RunSettings& settings, const StopFlag& stop, void* userdata)
        : on_result_(on_result), settings_(settings), stop_(stop), userdata_(userdata) {}

    // One piece of text with state NORMAL; tool-call text the callback hides is dropped.
    void piece(const std::string& text, int32_t token_id, KIV_LLMMessageType type) const;
    // A call of the registered tool-call callback (none: nothing happens).
    void tool_call(const std::string& name, const std::string& arguments) const;
    bool stopped() const { return stop_.is_set(); }
    // Waits `ms` milliseconds, cut short by a break; false when a break came.
    bool pause(long ms) const { return stop_.pause(ms); }

    // The last callback of a run: state FINISH, or CONTEXT_FULL when the context filled up.
    void finish(bool context_full = false) const;
    void fail(const std::string& reason) const;  // the last callback of a failed run: state ERROR
    // The last callback of a run whose prompt did not fit: state CONTEXT_EXCEEDED.
    void exceeded(const ContextExceeded& error) const;

private:
    void deliver(const char* text, int32_t token_id, KIV_LLMMessageType type, KIV_LLMRunStatus state) const;

    KIV_LLMResultCallback on_result_;
    const RunSettings& settings_;
    const StopFlag& stop_;
    void* userdata_;
};

// One run of a backend. The frame calls step() until it returns false or a
// break arrives, then finish(); an exception from either fails the run.
class Generation {
public:
    virtual ~Generation() = default;
    // The next part of the output; false when there is no more.
    virtual bool step(const Stream& out) = 0;
    // After the last step, also after a break: what is still to be delivered
    // and what the context keeps.
    virtual void finish(const Stream& out) { (void)out; }
    // After finish(): true when the run ended because the context was full
    // (the reply was cut short, not finished).
    virtual bool context_full() const { return false; }
};

// What a runtime keeps behind one context.
class Backend {
public:
    virtual ~Backend() = default;
    // Reads and checks the request and prepares its run; throws (RequestError)
    // to refuse it. Runs on one context never overlap each other nor
    // forget_history().
    virtual std::unique_ptr<Generation> start(const KIV_LLMInput& input, const KIV_LLMRunParam& param,
                                              const RunSettings& settings) = 0;
    // Drops the kept conversation (kiv_llm_reset; during a run, when it ends).
    virtual void forget_history() = 0;
    // kiv_llm_set_chat_template_jinja, from any thread at any time; false
    // when the template is refused (the reason logged).
    virtual bool set_jinja_template(const char* text) = 0;
    // kiv_llm_get_vision_info; 1 when the context has no vision projector.
    virtual KIV_LLMRetStatus vision_info(KIV_LLMVisionInfo& info) const {
        (void)info;
        return 1;
    }
};

// Supplied by each runtime: the name its lines on stderr start with
// ("[<name>] ..."), and the backend of a new context, or nullptr when
// kiv_llm_init fails (the reason logged with log_line). `stop` is the
// context's flag; it outlives the backend.
extern const char* const kLlmRuntimeName;
std::unique_ptr<Backend> make_llm_backend(const KIV_LLMInitParam& param, const StopFlag& stop);

// One line on stderr, prefixed with the runtime's name.
void log_line(const std::string& message);

}  // namespace kivrt
