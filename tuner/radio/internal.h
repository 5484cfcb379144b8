// Inside the radio library: the shaped biphase pulse, resamplers.
#pragma once

// <complex> first: liquid then takes std::complex<float> for its complex type.
#include <complex>

#include <liquid/liquid.h>

#include <sndfile.h>

#include <memory>
#include <string>
#include <vector>

namespace fmsim::radio {

constexpr int kPulseSpan = 3;  // bits either side of a symbol that its shaped pulse is kept for

// One differentially coded bit's pulse (the biphase symbol through the
// cosine roll-off shaping), per_bit points a bit over [-kPulseSpan,
// kPulseSpan + 0.5] bits, peak 1. energy_per_bit: the mean square of a
// stream of random symbols made of it.
std::vector<float> biphase_pulse(int per_bit, double& energy_per_bit);

// A sound file read through libsndfile from a descriptor that was opened
// without blocking and checked to be a regular file, so that the name is
// never read again after the check. Frames come interleaved, as stored.
class SoundFile {
public:
    // Null with a reason when the path is no regular file, or no sound file
    // libsndfile knows: "PATH: not WHAT (libsndfile's reason)" and then tail.
    static std::unique_ptr<SoundFile> open(const std::string& path, const char* what, const char* tail,
                                           std::string* error);
    ~SoundFile();
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;
    const SF_INFO& info() const { return info_; }
    // Up to frames frames into out (frames * channels floats); 0 at the end.
    size_t read(float* out, size_t frames);
    bool rewind();

private:
    SoundFile(SNDFILE* file, int fd, const SF_INFO& info) : file_(file), fd_(fd), info_(info) {}
    SNDFILE* file_;
    int fd_;  // libsndfile reads it and leaves it to us
    SF_INFO info_;
};

class ProgrammeAudio;

// A programme at the multiplex rate, a sample at a time as the sum (L+R)/2
// and the difference (L-R)/2: pre-emphasised, cut at 15 kHz, and with its
// peaks (of L and R, so of sum + difference under any carrier phase) held
// under peak. It starts a few milliseconds late, the limiter's look-ahead.
class ProgrammeChain {
public:
    ProgrammeChain(std::shared_ptr<ProgrammeAudio> audio, double mpx_rate, double preemphasis_us, double peak);
    ~ProgrammeChain();
    ProgrammeChain(const ProgrammeChain&) = delete;
    ProgrammeChain& operator=(const ProgrammeChain&) = delete;
    void next(float& sum, float& difference);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Multi-stage resamplers, new (state cleared) for rate r and 60 dB of
// stop-band attenuation. liquid designs their filters in tens of
// milliseconds; each design is made once per rate and copied after that,
// so a decoder or channel is quick to create and to reset.
msresamp_crcf make_resampler_crcf(float r);
msresamp_rrrf make_resampler_rrrf(float r);
// The decoder's symbol synchroniser (root-raised-cosine matched filter),
// designed once (the decoder always asks for the same one) and copied.
symsync_rrrf make_half_bit_sync(unsigned k, unsigned m, float beta, unsigned banks);

}  // namespace fmsim::radio
