// Audio input of the speech runtime: any WAV file libsndfile decodes, mixed
// down to one channel and resampled to the rate the recogniser expects.
#pragma once

#include <cstdint>
#include <vector>

namespace kiveng {

// Reads the whole WAV file (PCM 8 to 32 bit or float, any channel count, any
// rate; WAV, WAVE_FORMAT_EXTENSIBLE and RF64 containers) as 16-bit mono
// samples at `rate`. False when the file is not such audio or does not decode.
bool read_wav_mono(const char* path, int rate, std::vector<int16_t>& out);

// Band-limited resampling (windowed sinc): `in` at `in_rate` to `out_rate`.
std::vector<float> resample(const std::vector<float>& in, int in_rate, int out_rate);

}  // namespace kiveng
