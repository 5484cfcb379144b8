// The radio chain's readers on arbitrary bytes: never a crash, a hang or a
// non-finite sample. The first byte picks the path:
//   even: the rest is a multiplex file (WAV/FLAC as libsndfile reads it, or
//         raw s16le at a rate from the second byte when bit 1 is set), read
//         through MpxFile into the decoder;
//         With bit 2 set the same file is also a programme's audio
//         (ProgrammeAudio::open) beside a group's RDS: the multiplex stays
//         finite and within full deviation whatever the audio holds;
//   odd:  the rest is raw IQ (format from bits 1-2, rate from bit 3: 250 kS/s
//         or 2.4 MS/s) through iq_to_complex, FmChannel and the decoder.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "radio.h"

using namespace fmsim::radio;

namespace {

void check_groups(RdsDecoder& dec, const std::vector<fmsim::RdsGroup>& groups) {
    if (dec.blocks_failed() > dec.blocks_received()) std::abort();
    if (groups.size() * 4 > dec.blocks_received()) std::abort();
}

}  // namespace

// liquid-dsp 1.5.0 loses the search object of every resampler design it
// makes (the radio makes one a rate); the leak checker is told so, as in the
// test programs.
extern "C" const char* __lsan_default_suppressions() { return "leak:qs1dsearch_create\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t mode = data[0];
    std::vector<fmsim::RdsGroup> groups;
    if ((mode & 1) == 0) {
        static const std::string path = "/tmp/tuner_radio_fuzz." + std::to_string(getpid());
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return 0;
        std::fwrite(data + 2, 1, size - 2, f);
        std::fclose(f);
        std::optional<double> raw;
        if (mode & 2) raw = 150000.0 + 1000.0 * data[1];  // some under 160 kHz: refused
        std::string error;
        auto file = MpxFile::open(path, raw, &error);
        if (!file) {
            if (error.empty()) std::abort();
        } else {
            if (!(file->rate() >= 160000.0)) std::abort();
            RdsDecoder dec({file->rate(), data[1] % 6, (data[1] / 6) % 2 == 0});  // soft or hard decisions
            std::vector<float> buf(1024);
            size_t total = 0;
            while (size_t n = file->read(buf.data(), buf.size())) {
                if (n > buf.size()) std::abort();
                dec.push(buf.data(), n, groups);
                total += n;
                if (total > (1u << 22)) break;  // a header may claim more than the bytes hold
            }
            check_groups(dec, groups);
            if (!file->rewind()) std::abort();
        }
        if (mode & 4) {
            MpxOptions mo;
            mo.rate = 171000;
            mo.rds_level = kProgrammeRdsLevel;
            mo.programme = ProgrammeAudio::open(path, &error);
            if (!mo.programme) {
                if (error.empty()) std::abort();
            } else {
                fmsim::RdsGroup group;
                for (float v : make_mpx({group}, mo, 0.05))
                    if (!(std::abs(v) <= 1.0f)) std::abort();
            }
        }
        std::remove(path.c_str());
        return 0;
    }
    static const IqFormat formats[4] = {IqFormat::Cu8, IqFormat::Cs16, IqFormat::Cf32, IqFormat::Cu8};
    IqFormat format = formats[(mode >> 1) & 3];
    double rate = (mode & 8) ? 2400000.0 : 250000.0;
    std::vector<std::complex<float>> iq;
    iq_to_complex(data + 2, size - 2, format, iq);
    if (iq.size() != (size - 2) / iq_sample_bytes(format)) std::abort();
    for (const auto& z : iq)
        if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) std::abort();
    FmChannel channel(rate, (static_cast<int>(data[1]) - 128) * 1000.0);
    std::vector<float> mpx;
    // The same samples several times over, so the filters see a longer stream.
    for (int r = 0; r < 4; r++) channel.push(iq.data(), iq.size(), mpx);
    for (float v : mpx)
        if (!std::isfinite(v)) std::abort();
    RdsDecoder dec({channel.mpx_rate(), 2});
    dec.push(mpx.data(), mpx.size(), groups);
    check_groups(dec, groups);
    auto powers = channel_powers(iq.data(), iq.size(), rate);
    for (const auto& [f, p] : powers)
        if (std::isnan(p) || rssi_from_power(p) > 63) std::abort();
    return 0;
}
