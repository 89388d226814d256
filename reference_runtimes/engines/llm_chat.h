// Chat templates and requests of the LLM runtime: the OpenAI-format messages
// and tools of a run become a prompt, the grammar that constrains a tool
// call, and the parser that splits the output into answer, reasoning and
// tool calls.
#pragma once

#include <string>
#include <vector>

#include "chat.h"
#include "frame/llm_frame.h"
#include "velkor/velkor_records.h"

namespace kiveng {

using kivrt::RequestError;

// The templates of one context: the model's own (or a custom Jinja template)
// and, for requests with tools when that template is ChatML without tool
// support, a tool-capable ChatML template of this runtime.
class ChatTemplates {
public:
    // Throws RequestError when the custom template cannot be parsed.
    ChatTemplates(const llama_model* model, const std::string& custom_jinja);

    const common_chat_templates* for_request(bool has_tools) const;

private:
    common_chat_templates_ptr main_;
    common_chat_templates_ptr tools_;  // set when main_ needs the fallback
};

// The messages of a request: a JSON array of OpenAI-format messages, or an
// object holding one as "messages". Throws RequestError.
std::vector<common_chat_msg> parse_messages(const std::string& text);

struct ChatPrompt {
    std::string prompt;              // the rendered conversation, ready to tokenize
    common_chat_params params;       // grammar, triggers, preserved tokens
    common_chat_parser_params parser;
    bool parse_tool_calls = false;
    bool forced_grammar = false;     // params.grammar is a forced call's or the response format's: the whole reply
    // False when the output can only be answer text (no tools, a template
    // without reasoning): it then needs no parsing while it streams.
    bool needs_parsing = false;
};

// Renders the conversation with the tools and template parameters of the run
// record (tools_schemas, extra_template_params: tool_choice, parallel_tool_calls,
// response_format, template variables; enable_think). Throws
// RequestError for bad JSON or a template that cannot render the request.
ChatPrompt render_chat(const ChatTemplates& templates, const std::vector<common_chat_msg>& conversation,
                       const KIV_LLMRunParam& param);

// True when `text` does not end inside a UTF-8 sequence.
bool ends_on_character_boundary(const std::string& text);

}  // namespace kiveng
