#include "llm_chat.h"

#include <nlohmann/json.hpp>

#include <map>

#include "json-schema-to-grammar.h"
#include "tool_chatml.h"  // kToolChatml, made from tool_chatml.jinja

namespace kiveng {

namespace {

using json = nlohmann::json;
using ordered = nlohmann::ordered_json;  // keys in the order given: "name" before "arguments"

bool supports_tools(const common_chat_templates* t) {
    const auto caps = common_chat_templates_get_caps(t);
    const auto it = caps.find("supports_tools");
    return it != caps.end() && it->second;
}

// The schemas of a tool call: one object per offered tool (or only the one
// asked for) that names it and carries arguments of its schema.
ordered call_schemas(const std::vector<common_chat_tool>& tools, const std::string& only) {
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
    return calls;
}

common_chat_schema_document schema_document(const ordered& schema) {
    return common_chat_schema_from_json(common_json::parse(schema.dump()));
}

// The rule of one <tool_call> block of `calls` (or, with parallel calls, several).
std::string calls_rule(const common_grammar_builder& b, const common_chat_schema_document& calls, bool parallel) {
    const std::string call = "\"<tool_call>\\n\" " + b.add_schema("tool-call", *calls.root) + " \"\\n</tool_call>\"";
    return parallel ? call + " (\"\\n\" " + call + ")*" : call;
}

// The grammar of a reply that is nothing but tool calls of the offered tools
// (or of the one asked for). A small model calls a tool reliably only when
// nothing else may come first.
std::string forced_call_grammar(const std::vector<common_chat_tool>& tools, const std::string& only, bool parallel) {
    const ordered calls = call_schemas(tools, only);
    if (calls.empty()) throw RequestError("tool_choice names the tool \"" + only + "\", which is not offered");
    const common_chat_schema_document doc = schema_document(ordered{{"anyOf", calls}});
    return build_grammar([&](const common_grammar_builder& b) { b.add_rule("root", calls_rule(b, doc, parallel)); });
}

// response_format: {"type": "json_object"} (any JSON object) or
// {"type": "json_schema", "json_schema": {"schema": {...}, ...}}; "text" asks
// for nothing. Returns the schema the answer must follow (null for text).
ordered read_response_format(const json& value) {
    const std::string type = value.is_object() ? value.value("type", "") : "";
    if (type == "text") return nullptr;
    if (type == "json_object") return ordered{{"type", "object"}};
    const json* described = type == "json_schema" && value.contains("json_schema") ? &value["json_schema"] : nullptr;
    if (described == nullptr || !described->is_object())
        throw RequestError("response_format must be {\"type\": \"text\"}, {\"type\": \"json_object\"} or "
                           "{\"type\": \"json_schema\", \"json_schema\": {\"schema\": {...}}}");
    if (!described->contains("schema") || (*described)["schema"].is_null()) return ordered{{"type", "object"}};
    if (!(*described)["schema"].is_object()) throw RequestError("response_format.json_schema.schema must be an object");
    return ordered::parse((*described)["schema"].dump());
}

// The grammar of an answer in the response format: JSON of its schema, by
// llama.cpp's own schema-to-grammar code. With tools offered and the choice
// left to the model, a reply of tool calls may come instead of the answer.
std::string format_grammar(const ordered& schema, const std::vector<common_chat_tool>& tools, bool parallel) {
    const common_chat_schema_document answer = schema_document(schema);
    const ordered calls = call_schemas(tools, "");
    const common_chat_schema_document call_doc = schema_document(calls.empty() ? ordered::object()
                                                                               : ordered{{"anyOf", calls}});
    try {
        return build_grammar([&](const common_grammar_builder& b) {
            const std::string json_answer = b.add_schema("answer", *answer.root);
            b.add_rule("root", calls.empty() ? json_answer : json_answer + " | " + calls_rule(b, call_doc, parallel));
        });
    } catch (const std::exception& e) {
        throw RequestError(std::string("the response_format's schema cannot be turned into a grammar: ") + e.what());
    }
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

// What the template parameters demand of the reply.
struct Demands {
    bool forced = false;   // a tool call, nothing else
    std::string only;      // the one tool to call, when named
    ordered format;        // the schema of the answer (null: any text)
};

// Template parameters: tool_choice, parallel_tool_calls and response_format
// steer the reply; every other key is handed to the template as a variable.
Demands read_template_params(const char* extra, common_chat_templates_inputs& inputs) {
    Demands demands;
    if (extra == nullptr) return demands;
    const json doc = parse_json(extra, "the extra template parameters");
    if (!doc.is_object()) throw RequestError("the extra template parameters must be a JSON object");
    for (const auto& [key, value] : doc.items()) {
        if (key == "tool_choice") {
            read_tool_choice(value, inputs, demands.forced, demands.only);
        } else if (key == "parallel_tool_calls") {
            if (!value.is_boolean()) throw RequestError("parallel_tool_calls must be true or false");
            inputs.parallel_tool_calls = value.get<bool>();
        } else if (key == "response_format") {
            demands.format = read_response_format(value);
        } else {
            inputs.chat_template_kwargs[key] = value.dump();
        }
    }
    return demands;
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

    const Demands demands = read_template_params(param.run_extend.extra_template_params, inputs);
    const bool has_tools = !inputs.tools.empty() && inputs.tool_choice != COMMON_CHAT_TOOL_CHOICE_NONE;
    ChatPrompt out;
    try {
        out.params = common_chat_templates_apply(templates.for_request(!inputs.tools.empty()), inputs);
        out.parser = common_chat_parser_params(out.params);
        out.parser.reasoning_format = COMMON_REASONING_FORMAT_AUTO;
        out.parser.parse_tool_calls = has_tools;
        if (!out.params.parser.empty()) out.parser.parser.load(out.params.parser);
        // A forced call, or an answer in the response format, is the whole
        // reply: its grammar holds from the first token.
        std::string grammar;
        if (demands.forced && has_tools)
            grammar = forced_call_grammar(inputs.tools, demands.only, inputs.parallel_tool_calls);
        else if (!demands.format.is_null())
            grammar = format_grammar(demands.format, has_tools ? inputs.tools : std::vector<common_chat_tool>{},
                                     inputs.parallel_tool_calls);
        if (!grammar.empty()) {
            out.params.grammar = grammar;
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
