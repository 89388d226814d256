// The frame of every stand-in speech runtime (libquellan.so): the four entry
// points, the registry of handles, the guarded entry and the result strings.
// A runtime supplies its recogniser: make_recogniser() below.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quellan/quellan_records.h"

namespace kivrt {

// Return codes every speech runtime shares; a runtime may add its own.
enum : int32_t {
    kAsrInvalidArgument = 1,  // NULL handle, record or path, unknown handle, kind, model type or task, bad options
    kAsrFileNotFound = 2,     // a model, tokenizer, decoder or audio file that does not exist
    kAsrBadAudio = 3,         // not a WAV file libsndfile can decode
    kAsrInternalError = 5,    // out of memory and the like
};

class Recogniser {
public:
    virtual ~Recogniser() = default;
    // Transcribes one request into `text` and `language`; 0 or a return code.
    // Calls may come from several threads at once.
    virtual int32_t transcribe(const KIV_ASRInput& input, std::string& text, std::string& language) = 0;
};

// Supplied by each runtime: the recogniser of an init record whose model type
// is 0 or 1, or nullptr with the return code in `rc`.
std::unique_ptr<Recogniser> make_recogniser(const KIV_ASRInitParam& param, int32_t& rc);

// The checks a transcription starts with: input kind 0, a WAV path, the task
// NULL, empty, "transcribe" or "translate", and a WAV file that exists.
int32_t check_transcription(const KIV_ASRInput& input);

}  // namespace kivrt
