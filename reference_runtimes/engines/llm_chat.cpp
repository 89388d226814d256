#include "llm_chat.h"

#include <nlohmann/json.hpp>

#include <map>

#include "json-schema-to-grammar.h"

namespace kiveng {

namespace {

using json = nlohmann::json;

// ChatML with tools: the tools are listed in the system turn as JSON
// signatures, a call is a JSON object between <tool_call> tags, and a tool's
// answer comes back in a user turn between <tool_response> tags. The engine
// derives the call grammar and the output parser from this template.
constexpr const char* kToolChatml = R"JINJA({%- if messages and messages[0].role == 'system' -%}
{%- set system_message = messages[0].content -%}
{%- set loop_messages = messages[1:] -%}
{%- else -%}
{%- set system_message = 'You are a helpful assistant.' -%}
{%- set loop_messages = messages -%}
{%- endif -%}
{{- '<|im_start|>system\n' + system_message -}}
{%- if tools -%}
{{- '\n\n# Tools\n\nYou may call one or more functions to assist with the user query.\n\nYou are provided with function signatures within <tools></tools> XML tags:\n<tools>' -}}
{%- for tool in tools -%}
{{- '\n' + (tool | tojson) -}}
{%- endfor -%}
{{- '\n</tools>\n\nFor each function call, return a json object with function name and arguments within <tool_call></tool_call> XML tags:\n<tool_call>\n{"name": <function-name>, "arguments": <args-json-object>}\n</tool_call>' -}}
{%- endif -%}
{{- '<|im_end|>\n' -}}
{%- for message in loop_messages -%}
{%- if message.role == 'assistant' -%}
{{- '<|im_start|>assistant' -}}
{%- if message.content -%}{{- '\n' + message.content -}}{%- endif -%}
{%- if message.tool_calls -%}
{%- for tool_call in message.tool_calls -%}
{%- if tool_call.function is defined -%}{%- set call = tool_call.function -%}{%- else -%}{%- set call = tool_call -%}{%- endif -%}
{{- '\n<tool_call>\n{"name": "' + call.name + '", "arguments": ' -}}
{%- if call.arguments is string -%}{{- call.arguments -}}{%- else -%}{{- call.arguments | tojson -}}{%- endif -%}
{{- '}\n</tool_call>' -}}
{%- endfor -%}
{%- endif -%}
{{- '<|im_end|>\n' -}}
{%- elif message.role == 'tool' -%}
{{- '<|im_start|>user\n<tool_response>\n' + message.content + '\n</tool_response><|im_end|>\n' -}}
{%- else -%}
{{- '<|im_start|>' + message.role + '\n' + message.content + '<|im_end|>\n' -}}
{%- endif -%}
{%- endfor -%}
{%- if add_generation_prompt -%}
{{- '<|im_start|>assistant\n' -}}
{%- endif -%})JINJA";

bool supports_tools(const common_chat_templates* t) {
    const auto caps = common_chat_templates_get_caps(t);
    const auto it = caps.find("supports_tools");
    return it != caps.end() && it->second;
}

// The grammar of a reply that is nothing but tool calls: one (or, with
// parallel calls, several) <tool_call> blocks whose JSON names an offered
// tool (or the one asked for) and carries arguments of its schema. A small
// model calls a tool reliably only when nothing else may come first.
std::string forced_call_grammar(const std::vector<common_chat_tool>& tools, const std::string& only, bool parallel) {
    using ordered = nlohmann::ordered_json;  // "name" before "arguments", as the template shows them
    ordered calls = ordered::array();
    for (const common_chat_tool& tool : tools) {
        if (!only.empty() && tool.name != only) continue;
        ordered parameters = ordered::parse(tool.parameters.empty() ? "{}" : tool.parameters, nullptr, false);
        if (parameters.is_discarded() || !parameters.is_object() || parameters.empty())
            parameters = ordered{{"type", "object"}};
        calls.push_back(ordered{{"type", "object"},
                                {"properties", {{"name", {{"const", tool.name}}}, {"arguments", parameters}}},
                                {"required", {"name", "arguments"}},
                                {"additionalProperties", false}});
    }
    if (calls.empty()) throw RequestError("tool_choice names the tool \"" + only + "\", which is not offered");
    const common_chat_schema_document doc = common_chat_schema_from_json(common_json::parse(ordered{{"anyOf", calls}}.dump()));
    return build_grammar([&](const common_grammar_builder& b) {
        const std::string call = "\"<tool_call>\\n\" " + b.add_schema("tool-call", *doc.root) + " \"\\n</tool_call>\"";
        b.add_rule("root", parallel ? call + " (\"\\n\" " + call + ")*" : call);
    });
}

// tool_choice: "auto", "required", "none", or {"type": "function", "function": {"name": ...}}.
void read_tool_choice(const json& value, common_chat_templates_inputs& inputs, bool& forced, std::string& only) {
    const char* expected = "tool_choice must be \"auto\", \"required\", \"none\" or {\"type\": \"function\", "
                           "\"function\": {\"name\": ...}}";
    if (value.is_string()) {
        try {
            inputs.tool_choice = common_chat_tool_choice_parse_oaicompat(value.get<std::string>());
        } catch (const std::exception&) {
            throw RequestError(expected);
        }
        forced = inputs.tool_choice == COMMON_CHAT_TOOL_CHOICE_REQUIRED;
        return;
    }
    const json* name = nullptr;
    if (value.is_object() && value.contains("function") && value["function"].is_object())
        name = &value["function"]["name"];
    if (name == nullptr || !name->is_string()) throw RequestError(expected);
    only = name->get<std::string>();
    inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_REQUIRED;
    forced = true;
}

json parse_json(const char* text, const char* what) {
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) throw RequestError(std::string(what) + " are not valid JSON");
    return doc;
}

}  // namespace

ChatTemplates::ChatTemplates(const llama_model* model, const std::string& custom_jinja) {
    try {
        main_ = common_chat_templates_init(model, custom_jinja);
        const std::string source = common_chat_templates_source(main_.get());
        if (!supports_tools(main_.get()) && source.find("<|im_start|>") != std::string::npos)
            tools_ = common_chat_templates_init(model, kToolChatml);
    } catch (const std::exception& e) {
        throw RequestError(std::string("the chat template cannot be used: ") + e.what());
    }
}

const common_chat_templates* ChatTemplates::for_request(bool has_tools) const {
    return has_tools && tools_ ? tools_.get() : main_.get();
}

std::vector<common_chat_msg> parse_messages(const std::string& text) {
    json doc = parse_json(text.c_str(), "the messages");
    if (doc.is_object() && doc.contains("messages")) doc = doc["messages"];
    if (!doc.is_array()) throw RequestError("the messages must be a JSON array");
    try {
        return common_chat_msgs_parse_oaicompat(common_json::parse(doc.dump()));
    } catch (const std::exception& e) {
        throw RequestError(std::string("the messages cannot be read: ") + e.what());
    }
}

ChatPrompt render_chat(const ChatTemplates& templates, const std::vector<common_chat_msg>& conversation,
                       const KIV_LLMRunParam& param) {
    common_chat_templates_inputs inputs;
    inputs.messages = conversation;
    inputs.use_jinja = true;
    inputs.add_generation_prompt = true;
    inputs.reasoning_format = COMMON_REASONING_FORMAT_AUTO;
    inputs.enable_thinking = param.enable_think != 0;

    if (const char* tools = param.run_extend.tools_schemas) {
        const json doc = parse_json(tools, "the tool schemas");
        if (!doc.is_array()) throw RequestError("the tool schemas must be a JSON array");
        try {
            inputs.tools = common_chat_tools_parse_oaicompat(common_json::parse(doc.dump()));
        } catch (const std::exception& e) {
            throw RequestError(std::string("the tool schemas cannot be read: ") + e.what());
        }
    }

    // Template parameters: tool_choice and parallel_tool_calls steer the
    // tool calls; every other key is handed to the template as a variable.
    bool forced = false;
    std::string only;
    if (const char* extra = param.run_extend.extra_template_params) {
        const json doc = parse_json(extra, "the extra template parameters");
        if (!doc.is_object()) throw RequestError("the extra template parameters must be a JSON object");
        for (const auto& [key, value] : doc.items()) {
            if (key == "tool_choice") {
                read_tool_choice(value, inputs, forced, only);
            } else if (key == "parallel_tool_calls") {
                if (!value.is_boolean()) throw RequestError("parallel_tool_calls must be true or false");
                inputs.parallel_tool_calls = value.get<bool>();
            } else {
                inputs.chat_template_kwargs[key] = value.dump();
            }
        }
    }

    const bool has_tools = !inputs.tools.empty() && inputs.tool_choice != COMMON_CHAT_TOOL_CHOICE_NONE;
    ChatPrompt out;
    try {
        out.params = common_chat_templates_apply(templates.for_request(!inputs.tools.empty()), inputs);
        out.parser = common_chat_parser_params(out.params);
        out.parser.reasoning_format = COMMON_REASONING_FORMAT_AUTO;
        out.parser.parse_tool_calls = has_tools;
        if (!out.params.parser.empty()) out.parser.parser.load(out.params.parser);
        if (forced && has_tools) {
            out.params.grammar = forced_call_grammar(inputs.tools, only, inputs.parallel_tool_calls);
            out.params.grammar_lazy = false;
            out.params.grammar_triggers.clear();
            out.forced_grammar = true;
        }
    } catch (const RequestError&) {
        throw;
    } catch (const std::exception& e) {
        throw RequestError(std::string("the chat template cannot render this request: ") + e.what());
    }
    out.prompt = out.params.prompt;
    out.parse_tool_calls = has_tools;
    out.needs_parsing = has_tools || out.params.supports_thinking;
    return out;
}

bool ends_on_character_boundary(const std::string& text) {
    // Walk back over continuation bytes to the lead byte of the last character.
    size_t n = 0;
    for (auto it = text.rbegin(); it != text.rend() && n < 4; ++it, ++n) {
        const unsigned char c = static_cast<unsigned char>(*it);
        if ((c & 0xC0) == 0x80) continue;
        const size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
        return n + 1 >= len;
    }
    return true;  // empty, or a run of stray continuation bytes that no byte can complete
}

}  // namespace kiveng
