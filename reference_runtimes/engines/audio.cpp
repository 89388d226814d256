#include "audio.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace kiveng {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kZeroCrossings = 16;  // per side of the sinc kernel, at the lower of the two rates

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// Blackman window on [-1, 1].
double window(double u) { return 0.42 + 0.5 * std::cos(kPi * u) + 0.08 * std::cos(2 * kPi * u); }

}  // namespace

std::vector<float> resample(const std::vector<float>& in, int in_rate, int out_rate) {
    if (in_rate == out_rate || in.empty()) return in;
    const double step = static_cast<double>(in_rate) / out_rate;  // input samples per output sample
    // Below the lower Nyquist frequency only: scaling the kernel widens it when downsampling.
    const double cutoff = std::min(1.0, static_cast<double>(out_rate) / in_rate);
    const double half = kZeroCrossings / cutoff;
    const size_t n_out = static_cast<size_t>(std::floor(static_cast<double>(in.size()) / step));
    std::vector<float> out(n_out);
    const long last = static_cast<long>(in.size()) - 1;
    for (size_t j = 0; j < n_out; ++j) {
        const double t = static_cast<double>(j) * step;
        const long lo = std::max(0L, static_cast<long>(std::ceil(t - half)));
        const long hi = std::min(last, static_cast<long>(std::floor(t + half)));
        double acc = 0.0;
        for (long k = lo; k <= hi; ++k) {
            const double d = t - static_cast<double>(k);
            acc += in[static_cast<size_t>(k)] * cutoff * sinc(cutoff * d) * window(d / half);
        }
        out[j] = static_cast<float>(acc);
    }
    return out;
}

bool read_wav_mono(const char* path, int rate, std::vector<int16_t>& out) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) return false;
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if ((major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64) || info.samplerate <= 0 ||
        info.channels <= 0)
        return false;

    // Mixed down to mono as the frames arrive.
    const size_t channels = static_cast<size_t>(info.channels);
    std::vector<float> frames(4096 * channels);
    std::vector<float> mono;
    if (info.frames > 0) mono.reserve(static_cast<size_t>(info.frames));
    sf_count_t n;
    while ((n = sf_readf_float(file, frames.data(), 4096)) > 0) {
        for (sf_count_t i = 0; i < n; ++i) {
            float sum = 0.0f;
            for (size_t c = 0; c < channels; ++c) sum += frames[static_cast<size_t>(i) * channels + c];
            mono.push_back(sum / static_cast<float>(channels));
        }
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return false;

    const std::vector<float> resampled = resample(mono, info.samplerate, rate);
    out.resize(resampled.size());
    std::transform(resampled.begin(), resampled.end(), out.begin(), [](float x) {
        return static_cast<int16_t>(std::lround(std::clamp(x, -1.0f, 1.0f) * 32767.0f));
    });
    return true;
}

}  // namespace kiveng
