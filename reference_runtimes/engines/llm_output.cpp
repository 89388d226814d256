#include "llm_output.h"

#include "llm_chat.h"

namespace kiveng {

common_chat_msg OutputTracker::parse(bool partial) const {
    try {
        return common_chat_parse(text_, partial, *parser_);
    } catch (const std::exception&) {
        // Output the format does not describe: keep what was understood.
        if (!partial) return parse(true);
        return last_;
    }
}

int OutputTracker::growth(const common_chat_msg& msg) const {
    if (msg.tool_calls != last_.tool_calls) return KIV_LLM_MESSAGE_TOOL_CALL;
    if (msg.content.size() > last_.content.size()) return 0;
    if (msg.reasoning_content.size() > last_.reasoning_content.size()) return KIV_LLM_MESSAGE_REASONING;
    return -1;
}

void OutputTracker::release(KIV_LLMMessageType type, std::vector<Piece>& ready) {
    for (Piece& p : held_) {
        p.type = type;
        ready.push_back(std::move(p));
    }
    held_.clear();
    last_type_ = type;
}

void OutputTracker::add(llama_token token, std::string text, std::vector<Piece>& ready) {
    text_ += text;
    held_.push_back(Piece{token, std::move(text), 0});
    if (parser_ == nullptr) {
        release(0, ready);
        return;
    }
    if (!ends_on_character_boundary(text_)) return;
    common_chat_msg msg = parse(true);
    const int type = growth(msg);
    if (type < 0) return;
    last_ = std::move(msg);
    release(static_cast<KIV_LLMMessageType>(type), ready);
}

common_chat_msg OutputTracker::finish(bool complete, std::vector<Piece>& ready) {
    if (parser_ == nullptr) {
        release(0, ready);
        common_chat_msg msg;
        msg.role = "assistant";
        msg.content = text_;
        return msg;
    }
    common_chat_msg msg = parse(!complete);
    const int type = growth(msg);
    // Held tokens that the final parse does not place (a closing tag) belong
    // to whatever came just before them.
    release(type < 0 ? last_type_ : static_cast<KIV_LLMMessageType>(type), ready);
    last_ = msg;
    return msg;
}

}  // namespace kiveng
