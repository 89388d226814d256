// Labels each generated token as answer, reasoning or tool-call text.
//
// The output so far is parsed after every token (a partial parse); the part
// of the message that grew (content, reasoning, tool calls) gives the label.
// A token that changes nothing yet, such as the first characters of a
// "<tool_call>" tag or half of a multi-byte character, is held back until a
// later token settles what it belongs to; all held tokens then get that label.
#pragma once

#include <string>
#include <vector>

#include "chat.h"
#include "velkor/velkor_records.h"

namespace kiveng {

struct Piece {
    llama_token token;
    std::string text;
    KIV_LLMMessageType type;
};

class OutputTracker {
public:
    // Without a parser every token is answer text, delivered at once.
    explicit OutputTracker(const common_chat_parser_params* parser) : parser_(parser) {}

    // Adds one token; appends the tokens whose label is now known to `ready`.
    void add(llama_token token, std::string text, std::vector<Piece>& ready);

    // Labels what is still held and returns the whole message. `complete` is
    // true when the model ended its turn, so the output is parsed as final.
    common_chat_msg finish(bool complete, std::vector<Piece>& ready);

private:
    common_chat_msg parse(bool partial) const;
    // The label the growth from last_ to msg shows, or -1 for no growth.
    int growth(const common_chat_msg& msg) const;
    void release(KIV_LLMMessageType type, std::vector<Piece>& ready);

    const common_chat_parser_params* parser_;
    std::string text_;
    std::vector<Piece> held_;
    common_chat_msg last_;
    KIV_LLMMessageType last_type_ = 0;
};

}  // namespace kiveng
