// Reference LLM runtime (libvelkor.so).
//
// Honours the binary interface of the device's LLM runtime and answers
// deterministically from a small JSON "model" of canned replies, so the
// server and the _velkor module can be developed and tested on any machine.
// README.md beside this file describes the model file and every rule below.
// The entry points, the threads and the stream of pieces are the frame's
// (frame/llm_frame.cpp); this file is the backend: the model file, the
// reading of a request and the scripted reply.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "frame/llm_frame.h"
#include "frame/runtime_util.h"

namespace {

using json = nlohmann::json;
using kivrt::is_space;
using kivrt::RequestError;
using kivrt::trim;

constexpr KIV_LLMMessageType kAnswer = 0;
constexpr size_t kMaxPieceBytes = 12;
constexpr size_t kDefaultContextTokens = 4096;  // tokens a context holds unless init says otherwise
constexpr int32_t kVisionInputSize = 448;
constexpr const char* kDelayEnv = "KIV_REFERENCE_DELAY_MS";

// ---------------------------------------------------------------------------
// The model file

struct CannedToolCall {
    std::string name;
    std::string arguments;  // JSON text
};

struct CannedReply {
    std::string match;
    std::string match_key;  // normalise(match)
    std::string reply;
    std::string reasoning;
    std::string after_tool;
    std::vector<CannedToolCall> tool_calls;
};

struct Model {
    std::vector<CannedReply> replies;
    long delay_ms = 0;
};

// Trimmed, every run of whitespace made one space, ASCII letters lower-cased.
std::string normalise(std::string_view s) {
    std::string out;
    bool pending_space = false;
    for (char c : trim(s)) {
        if (is_space(c)) {
            pending_space = true;
            continue;
        }
        if (pending_space) out.push_back(' ');
        pending_space = false;
        out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return out;
}

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::strict);
}

[[noreturn]] void model_error(const std::string& message) { throw std::runtime_error(message); }

void check_keys(const json& obj, const std::set<std::string>& allowed, const std::string& where) {
    for (const auto& item : obj.items())
        if (!allowed.count(item.key())) model_error(where + ": unknown key \"" + item.key() + "\"");
}

std::string optional_string(const json& obj, const char* key, const std::string& where) {
    auto it = obj.find(key);
    if (it == obj.end()) return {};
    if (!it->is_string()) model_error(where + "." + key + " must be a string");
    return it->get<std::string>();
}

CannedToolCall parse_tool_call(const json& item, const std::string& where) {
    if (!item.is_object()) model_error(where + " must be an object");
    check_keys(item, {"name", "arguments"}, where);
    CannedToolCall call;
    call.name = optional_string(item, "name", where);
    if (call.name.empty()) model_error(where + ".name must be a non-empty string");
    auto args = item.find("arguments");
    if (args == item.end()) {
        call.arguments = "{}";
    } else if (args->is_object()) {
        call.arguments = dump(*args);
    } else if (args->is_string()) {
        // Arguments given as JSON text are passed on as written.
        const std::string text = args->get<std::string>();
        if (!json::accept(text)) model_error(where + ".arguments is a string but not JSON text");
        call.arguments = text;
    } else {
        model_error(where + ".arguments must be an object or JSON text");
    }
    return call;
}

Model parse_model(const json& doc) {
    if (!doc.is_object()) model_error("the model file must hold a JSON object");
    check_keys(doc, {"description", "delay_ms", "replies"}, "model");
    Model model;
    if (auto it = doc.find("delay_ms"); it != doc.end()) {
        if (!it->is_number_integer() || it->get<long long>() < 0)
            model_error("delay_ms must be a non-negative integer");
        model.delay_ms = static_cast<long>(it->get<long long>());
    }
    if (auto it = doc.find("replies"); it != doc.end()) {
        if (!it->is_array()) model_error("replies must be an array");
        for (size_t i = 0; i < it->size(); ++i) {
            const json& entry = (*it)[i];
            const std::string where = "replies[" + std::to_string(i) + "]";
            if (!entry.is_object()) model_error(where + " must be an object");
            check_keys(entry, {"description", "match", "reply", "reasoning", "after_tool", "tool_calls"}, where);
            if (!entry.contains("match") || !entry["match"].is_string())
                model_error(where + ".match must be a string");
            CannedReply reply;
            reply.match = entry["match"].get<std::string>();
            reply.match_key = normalise(reply.match);
            reply.reply = optional_string(entry, "reply", where);
            reply.reasoning = optional_string(entry, "reasoning", where);
            reply.after_tool = optional_string(entry, "after_tool", where);
            if (auto calls = entry.find("tool_calls"); calls != entry.end()) {
                if (!calls->is_array()) model_error(where + ".tool_calls must be an array");
                for (size_t k = 0; k < calls->size(); ++k)
                    reply.tool_calls.push_back(
                        parse_tool_call((*calls)[k], where + ".tool_calls[" + std::to_string(k) + "]"));
            }
            model.replies.push_back(std::move(reply));
        }
    }
    return model;
}

std::optional<Model> load_model(const char* path, std::string& error) {
    if (path == nullptr || *path == '\0') {
        error = "no model file given";
        return std::nullopt;
    }
    if (!kivrt::is_regular_file(path)) {
        error = std::string("model file ") + path + ": not found or not a regular file";
        return std::nullopt;
    }
    std::optional<std::string> text = kivrt::read_file(path);
    if (!text) {
        error = std::string("model file ") + path + ": cannot be read";
        return std::nullopt;
    }
    try {
        return parse_model(json::parse(*text));
    } catch (const std::exception& e) {
        error = std::string("model file ") + path + ": " + e.what();
        return std::nullopt;
    }
}

// Exact match first, then a match of the normalised texts; first entry wins.
const CannedReply* find_reply(const Model& model, const std::string& user_text) {
    for (const CannedReply& r : model.replies)
        if (r.match == user_text) return &r;
    const std::string key = normalise(user_text);
    for (const CannedReply& r : model.replies)
        if (r.match_key == key) return &r;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Reading a request

struct OfferedTool {
    std::string name;
    json parameters;  // its JSON schema
};

// What the request's template parameters demand of the reply.
struct Demands {
    json tool_choice;          // "auto", "none", "required", {"type": "function", "function": {"name": ...}}
    bool single_call = false;  // parallel_tool_calls false
    json format;               // the schema of the answer (null: any text)
};

struct Request {
    std::string user_text;  // last user text, image markers removed, trimmed
    size_t user_turns = 1;  // the user messages of the request (a plain prompt is one)
    bool plain = true;      // a plain prompt: the simple chat template applies
    bool after_tool = false;
    std::string tool_result;
    std::vector<std::pair<int32_t, int32_t>> images;  // width, height
    size_t earlier_images = 0;  // images that stand in messages before the last user message
    std::optional<std::vector<OfferedTool>> tools;     // the offered tools, in their order
    Demands demands;                                   // of extra_template_params
};

bool offered(const Request& req, const std::string& name) {
    return req.tools && std::any_of(req.tools->begin(), req.tools->end(),
                                    [&](const OfferedTool& t) { return t.name == name; });
}

// Removes every occurrence of the marker; true when there was one.
bool remove_all(std::string& text, const char* marker) {
    if (marker == nullptr || *marker == '\0') return false;
    const size_t n = std::strlen(marker);
    bool found = false;
    for (size_t pos; (pos = text.find(marker)) != std::string::npos; found = true) text.erase(pos, n);
    return found;
}

// The image markers leave the user text without them; the blanks that stood
// around a marker are merged into one.
std::string strip_image_markers(std::string text, const KIV_LLMInput& input) {
    bool removed = remove_all(text, input.img_start);
    removed |= remove_all(text, input.img_end);
    removed |= remove_all(text, input.img_content);
    if (removed)
        for (size_t pos; (pos = text.find("  ")) != std::string::npos;) text.erase(pos, 1);
    return trim(text);
}

std::string content_text(const json& content) {
    if (content.is_null()) return {};
    if (content.is_string()) return content.get<std::string>();
    if (!content.is_array()) throw RequestError("a message's content must be a string or a list of parts");
    std::string out;
    for (const json& part : content) {
        if (!part.is_object()) throw RequestError("a content part must be an object");
        auto text = part.find("text");
        if (text == part.end()) continue;  // image parts and the like
        if (!text->is_string()) throw RequestError("a content part's text must be a string");
        if (!out.empty()) out.push_back(' ');
        out += text->get<std::string>();
    }
    return out;
}

size_t count_of(const std::string& text, const char* marker) {
    if (marker == nullptr || *marker == '\0') return 0;
    size_t n = 0;
    for (size_t pos = text.find(marker); pos != std::string::npos; pos = text.find(marker, pos + std::strlen(marker)))
        ++n;
    return n;
}

// Where the images stand: the i-th placeholder of the conversation (messages
// in order, parts in order) is the i-th image; images beyond the placeholders
// belong to the last user message. Returns the number of images placed in
// messages before the last user message.
size_t place_images(const json& messages, const KIV_LLMInput& input, size_t n_images) {
    size_t total = 0, before_last_user = 0, last_user = messages.size();
    for (size_t i = messages.size(); i-- > 0;)
        if (messages[i]["role"] == "user") {
            last_user = i;
            break;
        }
    for (size_t i = 0; i < messages.size(); ++i) {
        const size_t n = count_of(content_text(messages[i].value("content", json())), input.img_content);
        total += n;
        if (i < last_user) before_last_user += n;
    }
    if (total > n_images)
        throw RequestError("the messages hold " + std::to_string(total) + " image placeholders for " +
                           std::to_string(n_images) + (n_images == 1 ? " image" : " images"));
    return before_last_user;
}

void read_messages(const std::string& prompt, Request& req, const KIV_LLMInput& input) {
    json doc;
    try {
        doc = json::parse(prompt);
    } catch (const json::parse_error&) {
        throw RequestError("the messages are not valid JSON");
    }
    const json* messages = &doc;
    if (doc.is_object() && doc.contains("messages")) messages = &doc["messages"];
    if (!messages->is_array()) throw RequestError("the messages must be a JSON array");
    for (const json& m : *messages)
        if (!m.is_object() || !m.contains("role") || !m["role"].is_string())
            throw RequestError("every message must be an object with a string \"role\"");
    req.user_turns = static_cast<size_t>(
        std::count_if(messages->begin(), messages->end(), [](const json& m) { return m["role"] == "user"; }));
    for (auto it = messages->rbegin(); it != messages->rend(); ++it) {
        if ((*it)["role"] == "user") {
            req.user_text = content_text(it->value("content", json()));
            break;
        }
    }
    if (!messages->empty() && messages->back()["role"] == "tool") {
        req.after_tool = true;
        req.tool_result = content_text(messages->back().value("content", json()));
    }
    if (!req.images.empty()) req.earlier_images = place_images(*messages, input, req.images.size());
    req.plain = false;
}

std::vector<OfferedTool> read_tools(const char* schemas) {
    json doc;
    try {
        doc = json::parse(schemas);
    } catch (const json::parse_error&) {
        throw RequestError("the tool schemas are not valid JSON");
    }
    if (!doc.is_array()) throw RequestError("the tool schemas must be a JSON array");
    std::vector<OfferedTool> tools;
    for (const json& tool : doc) {
        if (!tool.is_object()) continue;
        const json* holder = &tool;
        if (auto fn = tool.find("function"); fn != tool.end() && fn->is_object()) holder = &*fn;
        if (auto name = holder->find("name"); name != holder->end() && name->is_string())
            tools.push_back({name->get<std::string>(), holder->value("parameters", json::object())});
    }
    return tools;
}

// tool_choice, parallel_tool_calls and response_format; other keys are
// template variables, which this runtime renders no template for.
Demands read_demands(const char* extra) {
    Demands d;
    if (extra == nullptr) return d;
    const json doc = json::parse(extra, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) throw RequestError("the extra template parameters must be a JSON object");
    d.tool_choice = doc.value("tool_choice", json());
    d.single_call = doc.value("parallel_tool_calls", json(true)) == json(false);
    const json format = doc.value("response_format", json());
    const std::string type = format.is_object() ? format.value("type", "") : "";
    if (type == "json_object") d.format = json{{"type", "object"}};
    if (type == "json_schema") d.format = format.value("json_schema", json::object()).value("schema", json{{"type", "object"}});
    return d;
}

Request read_request(bool has_projector, const KIV_LLMInput& input, const KIV_LLMRunParam& param) {
    if (param.run_mode != 0)
        throw RequestError("run mode " + std::to_string(param.run_mode) + " is not supported");
    Request req;
    if (input.n_images < 0) throw RequestError("negative image count");
    if (input.n_images > 0) {
        if (!has_projector)
            throw RequestError("images need a context initialised with a vision projector");
        if (input.images == nullptr) throw RequestError("image count without images");
        for (int32_t i = 0; i < input.n_images; ++i) {
            const KIV_LLMImageInput& img = input.images[i];
            if (img.type != KIV_LLM_IMAGE_TYPE_BUFFER || img.data == nullptr || img.width <= 0 ||
                img.height <= 0)
                throw RequestError("image " + std::to_string(i) + " is not a valid RGB888 buffer");
            req.images.emplace_back(img.width, img.height);
        }
    }
    const std::string prompt = input.prompt ? input.prompt : "";
    if (!kivrt::valid_utf8(prompt)) throw RequestError("the prompt is not valid UTF-8");

    if (input.type == KIV_LLM_INPUT_PROMPT) {
        req.user_text = prompt;
    } else if (input.type == KIV_LLM_INPUT_MESSAGES) {
        // Requests with images come as type 3 also when the prompt is plain
        // text; messages are recognised by their opening bracket then.
        const std::string head = trim(prompt).substr(0, 1);
        if (!req.images.empty() && head != "[" && head != "{")
            req.user_text = prompt;
        else
            read_messages(prompt, req, input);
    } else {
        throw RequestError("input type " + std::to_string(input.type) + " is not supported");
    }
    if (req.plain && !req.images.empty()) {
        const size_t placeholders = count_of(req.user_text, input.img_content);
        if (placeholders > req.images.size())
            throw RequestError("the prompt holds " + std::to_string(placeholders) + " image placeholders for " +
                               std::to_string(req.images.size()) + (req.images.size() == 1 ? " image" : " images"));
    }
    req.user_text = strip_image_markers(std::move(req.user_text), input);

    if (param.run_extend.tools_schemas != nullptr) req.tools = read_tools(param.run_extend.tools_schemas);
    req.demands = read_demands(param.run_extend.extra_template_params);
    return req;
}

// ---------------------------------------------------------------------------
// Composing the reply

struct Step {
    bool is_call = false;
    std::string text;                  // a piece
    KIV_LLMMessageType content_type = kAnswer;
    CannedToolCall call;               // a tool call
};

std::vector<std::string> split_pieces(const std::string& s) {
    auto char_len = [](unsigned char c) -> size_t {
        return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    };
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t start = i;
        while (i < s.size() && is_space(s[i])) ++i;
        while (i < s.size() && !is_space(s[i])) {
            const size_t len = std::min(char_len(static_cast<unsigned char>(s[i])), s.size() - i);
            if (i > start && i - start + len > kMaxPieceBytes) break;
            i += len;
        }
        out.push_back(s.substr(start, i - start));
    }
    return out;
}

size_t word_count(const std::string& s) {
    size_t n = 0;
    bool in_word = false;
    for (char c : s) {
        if (is_space(c)) in_word = false;
        else if (!in_word) in_word = true, ++n;
    }
    return n;
}

std::string sizes(const std::vector<std::pair<int32_t, int32_t>>& images, size_t from, size_t to) {
    std::string s;
    for (size_t i = from; i < to; ++i) {
        if (i > from) s += ", ";
        s += std::to_string(images[i].first) + "x" + std::to_string(images[i].second);
    }
    return s;
}

// "I see 2 images (640x480, 32x16)."; images that stand in earlier messages
// are told apart: "I see 1 image (32x16), and 1 earlier in the conversation (640x480)."
std::string image_sentence(const std::vector<std::pair<int32_t, int32_t>>& images, size_t earlier) {
    const size_t now = images.size() - earlier;
    std::string s = now == 0 ? std::string("I see no new image")
                             : "I see " + std::to_string(now) + (now == 1 ? " image (" : " images (") +
                                   sizes(images, earlier, images.size()) + ")";
    if (earlier == 0) return s + ".";
    return s + ", and " + std::to_string(earlier) + " earlier in the conversation (" + sizes(images, 0, earlier) + ").";
}

// The smallest JSON value a schema accepts, as far as this runtime reads
// schemas: const, enum, a type (the first of a list), anyOf/oneOf/allOf
// (the first), local $ref, the required properties of an object, minItems of
// an array, minLength of a string, minimum of a number.
json instance_of(const json& schema, const json& root, int depth = 0) {
    if (!schema.is_object() || depth > 32) return json::object();
    if (auto ref = schema.find("$ref"); ref != schema.end() && ref->is_string()) {
        const std::string path = ref->get<std::string>();
        if (path.rfind("#/", 0) == 0) {
            const json::json_pointer pointer(path.substr(1));
            if (root.contains(pointer)) return instance_of(root.at(pointer), root, depth + 1);
        }
        return json::object();
    }
    if (auto c = schema.find("const"); c != schema.end()) return *c;
    if (auto e = schema.find("enum"); e != schema.end() && e->is_array() && !e->empty()) return (*e)[0];
    for (const char* key : {"anyOf", "oneOf", "allOf"})
        if (auto alt = schema.find(key); alt != schema.end() && alt->is_array() && !alt->empty())
            return instance_of((*alt)[0], root, depth + 1);
    json type = schema.value("type", json(schema.contains("properties") ? "object" : ""));
    if (type.is_array()) type = type.empty() ? json("") : type[0];
    const std::string t = type.is_string() ? type.get<std::string>() : "";
    if (t == "string") return std::string(std::clamp<int64_t>(schema.value("minLength", int64_t{0}), 0, 64), 'x');
    if (t == "integer" || t == "number") return schema.contains("minimum") ? schema["minimum"] : json(0);
    if (t == "boolean") return false;
    if (t == "null") return nullptr;
    if (t == "array") {
        json out = json::array();
        const json items = schema.value("items", json::object());
        for (int64_t i = 0; i < schema.value("minItems", int64_t{0}) && i < 64; ++i)
            out.push_back(instance_of(items, root, depth + 1));
        return out;
    }
    json out = json::object();
    const json properties = schema.value("properties", json::object());
    for (const json& name : schema.value("required", json::array()))
        if (name.is_string())
            out[name.get<std::string>()] = instance_of(properties.value(name.get<std::string>(), json::object()),
                                                       root, depth + 1);
    return out;
}

// The reply as a runtime that constrains its decoding to the demands gives
// it: a forced call replaces the text (the named tool's, else the first
// offered, with the smallest arguments of its schema when no canned call
// fits); "none" drops the calls; one call at most without parallel calls; an
// answer in the response format is the smallest JSON its schema accepts.
void meet_demands(const Request& req, std::string& text, std::vector<CannedToolCall>& calls) {
    const Demands& d = req.demands;
    const json& choice = d.tool_choice;
    if (choice == json("none")) calls.clear();
    const bool named = choice.is_object() && choice.value("function", json::object()).value("name", json()).is_string();
    if ((choice == json("required") || named) && req.tools && !req.tools->empty()) {
        const std::string name = named ? choice["function"]["name"].get<std::string>() : std::string();
        std::erase_if(calls, [&](const CannedToolCall& c) { return !name.empty() && c.name != name; });
        if (calls.empty()) {
            auto tool = std::find_if(req.tools->begin(), req.tools->end(),
                                     [&](const OfferedTool& t) { return name.empty() || t.name == name; });
            if (tool == req.tools->end()) throw RequestError("tool_choice names the tool \"" + name + "\", which is not offered");
            calls.push_back({tool->name, dump(instance_of(tool->parameters, tool->parameters))});
        }
        text.clear();
    }
    if (d.single_call && calls.size() > 1) calls.resize(1);
    if (!d.format.is_null() && calls.empty()) text = dump(instance_of(d.format, d.format));
}

std::string tool_call_markup(const CannedToolCall& call) {
    return "<tool_call>\n{\"name\": " + dump(json(call.name)) + ", \"arguments\": " + call.arguments +
           "}\n</tool_call>";
}

// `turn` counts the user turns kept in the context, this one included.
std::vector<Step> compose(const Model& model, const Request& req, const kivrt::RunSettings& st, size_t turn,
                          bool think, bool retain) {
    const CannedReply* canned = find_reply(model, req.user_text);

    std::string fallback;
    if (req.user_text.empty()) {
        fallback = "I received an empty prompt.";
    } else {
        std::string echo = req.user_text;
        if (req.plain)
            echo = (turn == 1 ? st.system_prompt : std::string()) + st.prompt_prefix + echo + st.prompt_postfix;
        fallback = "You said: " + echo;
    }
    if (retain) fallback += " (turn " + std::to_string(turn) + ")";
    const size_t words = word_count(req.user_text);
    const std::string fallback_reasoning =
        "The last user message has " + std::to_string(words) + (words == 1 ? " word." : " words.");

    std::string reasoning, text;
    std::vector<CannedToolCall> calls;
    if (req.after_tool) {
        reasoning = canned ? canned->reasoning : fallback_reasoning;
        text = canned && !canned->after_tool.empty() ? canned->after_tool
                                                      : "The tool returned: " + trim(req.tool_result);
    } else if (canned) {
        reasoning = canned->reasoning;
        for (const CannedToolCall& c : canned->tool_calls)
            if (offered(req, c.name)) calls.push_back(c);
        text = canned->reply;
        if (text.empty() && calls.empty()) text = fallback;
    } else {
        reasoning = fallback_reasoning;
        text = fallback;
    }
    if (!req.images.empty()) text = image_sentence(req.images, req.earlier_images) + (text.empty() ? "" : " " + text);
    meet_demands(req, text, calls);

    std::vector<Step> steps;
    auto add_pieces = [&](const std::string& s, KIV_LLMMessageType type) {
        for (std::string& p : split_pieces(s)) steps.push_back(Step{false, std::move(p), type, {}});
    };
    if (think) add_pieces(reasoning, KIV_LLM_MESSAGE_REASONING);
    add_pieces(text, kAnswer);
    // Markup the stream would leave out is not played at all (nor waited for).
    for (const CannedToolCall& c : calls) {
        if (!st.hides_tool_call_text()) add_pieces(tool_call_markup(c), KIV_LLM_MESSAGE_TOOL_CALL);
        steps.push_back(Step{true, {}, kAnswer, c});
    }
    return steps;
}

// ---------------------------------------------------------------------------
// Streaming

int32_t token_id_of(const std::string& piece) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : piece) h = (h ^ c) * 16777619u;
    return static_cast<int32_t>(1 + h % 32000);
}

// Plays the scripted steps, each piece after the per-piece delay, while the
// context has room: every piece takes one token of it. `kept` receives the
// tokens the context holds after the run (when it keeps the conversation).
class ScriptedReply : public kivrt::Generation {
public:
    ScriptedReply(std::vector<Step> steps, long delay_ms, size_t prompt_tokens, size_t n_ctx, size_t* kept)
        : steps_(std::move(steps)), delay_ms_(delay_ms), used_(prompt_tokens), n_ctx_(n_ctx), kept_(kept) {}

    bool step(const kivrt::Stream& out) override {
        if (next_ == steps_.size()) return false;
        const Step& step = steps_[next_];
        if (step.is_call) {
            out.tool_call(step.call.name, step.call.arguments);
        } else {
            if (used_ >= n_ctx_) {
                full_ = true;  // the reply is cut here: the context holds no more
                return false;
            }
            if (!out.pause(delay_ms_) || out.stopped()) return false;
            out.piece(step.text, token_id_of(step.text), step.content_type);
            ++used_;
        }
        ++next_;
        return true;
    }

    void finish(const kivrt::Stream&) override {
        if (kept_ != nullptr) *kept_ = used_;
    }

    bool context_full() const override { return full_; }

private:
    std::vector<Step> steps_;
    size_t next_ = 0;
    long delay_ms_;
    size_t used_;  // tokens in the context: the prompt's, the kept ones and the pieces delivered
    size_t n_ctx_;
    size_t* kept_;
    bool full_ = false;
};

class ReferenceBackend : public kivrt::Backend {
public:
    ReferenceBackend(Model model, bool has_projector, const char* jinja, size_t n_ctx)
        : model_(std::move(model)), has_projector_(has_projector), n_ctx_(n_ctx),
          jinja_template_(jinja ? jinja : "") {
        std::memcpy(vision_input_ + kVisionInputHeightOffset, &kVisionInputSize, sizeof(int32_t));
        std::memcpy(vision_input_ + kVisionInputWidthOffset, &kVisionInputSize, sizeof(int32_t));
    }

    std::unique_ptr<kivrt::Generation> start(const KIV_LLMInput& input, const KIV_LLMRunParam& param,
                                             const kivrt::RunSettings& settings) override {
        const bool think = param.enable_think != 0;
        const bool retain = param.retain_history != 0;
        const Request req = read_request(has_projector_, input, param);
        if (!retain) kept_user_turns_ = kept_tokens_ = 0;
        // The prompt's tokens: one per piece its text would be cut into, after the kept ones.
        const size_t prompt_tokens = kept_tokens_ + split_pieces(input.prompt ? input.prompt : "").size();
        if (prompt_tokens >= n_ctx_)
            throw kivrt::ContextExceeded("the prompt has " + std::to_string(prompt_tokens) +
                                             " tokens, more than the context holds (" + std::to_string(n_ctx_) + ")",
                                         prompt_tokens);
        // This request's user turns count after the kept ones: a conversation
        // given whole and one gone on from turn by turn count alike.
        const size_t turn = kept_user_turns_ + std::max<size_t>(req.user_turns, 1);
        if (retain) kept_user_turns_ = turn;
        std::vector<Step> steps = compose(model_, req, settings, turn, think, retain);
        const long delay_ms = kivrt::env_non_negative(kDelayEnv).value_or(model_.delay_ms);
        return std::make_unique<ScriptedReply>(std::move(steps), delay_ms, prompt_tokens, n_ctx_,
                                               retain ? &kept_tokens_ : nullptr);
    }

    void forget_history() override { kept_user_turns_ = kept_tokens_ = 0; }

    bool set_jinja_template(const char* text) override {
        std::lock_guard<std::mutex> lock(jinja_mutex_);
        jinja_template_ = text ? text : "";
        return true;
    }

    KIV_LLMRetStatus vision_info(KIV_LLMVisionInfo& info) const override {
        if (!has_projector_) return 1;
        std::memset(&info, 0, sizeof info);
        info.n_inputs = 1;
        info.inputs = vision_input_;
        std::snprintf(info.projector_type, sizeof info.projector_type, "%s", "reference");
        const float mean[3] = {0.48145466f, 0.4578275f, 0.40821073f};
        const float std_dev[3] = {0.26862954f, 0.26130258f, 0.27577711f};
        std::memcpy(info.image_mean, mean, sizeof mean);
        std::memcpy(info.image_std, std_dev, sizeof std_dev);
        info.patch_size = 14;
        info.spatial_merge_size = 2;
        info.has_metadata = 1;
        return 0;
    }

private:
    const Model model_;
    const bool has_projector_;
    // The model input description that kiv_llm_get_vision_info points at.
    alignas(8) unsigned char vision_input_[144] = {};
    const size_t n_ctx_;          // the tokens the context holds
    size_t kept_user_turns_ = 0;  // user turns of the kept conversation (touched by runs and resets only)
    size_t kept_tokens_ = 0;      // tokens of the kept conversation (likewise)
    std::mutex jinja_mutex_;
    std::string jinja_template_;  // kept, never rendered
};

}  // namespace

const char* const kivrt::kLlmRuntimeName = "velkor reference";

namespace {

// The init's sampler_params `n_ctx` when it is a positive integer, else kDefaultContextTokens
// (the other sampling settings are ignored: the runtime is deterministic).
size_t context_size(const char* sampler_params) {
    if (sampler_params == nullptr || *sampler_params == '\0') return kDefaultContextTokens;
    const json doc = json::parse(sampler_params, nullptr, /*allow_exceptions=*/false);
    if (doc.is_object()) {
        const auto it = doc.find("n_ctx");
        if (it != doc.end() && it->is_number_integer() && it->get<int64_t>() > 0) return it->get<size_t>();
    }
    return kDefaultContextTokens;
}

}  // namespace

std::unique_ptr<kivrt::Backend> kivrt::make_llm_backend(const KIV_LLMInitParam& param, const StopFlag&) {
    // The record is packed: read its pointers into locals first.
    const char* model_path = param.model_path;
    const char* mmproj = param.mmproj_path;
    const char* jinja = param.init_extend.custom_jinja_template;
    const char* sampler_params = param.init_extend.sampler_params_json;
    std::string error;
    std::optional<Model> model = load_model(model_path, error);
    if (!model) {
        log_line(error);
        return nullptr;
    }
    if (mmproj != nullptr && *mmproj != '\0' && !is_regular_file(mmproj)) {
        log_line(std::string("vision projector ") + mmproj + ": not found or not a regular file");
        return nullptr;
    }
    return std::make_unique<ReferenceBackend>(std::move(*model), mmproj != nullptr && *mmproj != '\0', jinja,
                                              context_size(sampler_params));
}
