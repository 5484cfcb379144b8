// The radio chain's figures: block error rate against SNR, time to the
// first group after a reset, CPU time per second of signal for a multiplex
// and for a dongle's IQ; a survey of a 2.4 MHz span with one station and
// with eight (time and CPU, median of three).
//
// SNR: the RDS signal's power over the power of white noise in the band
// the RDS signal occupies, 57 kHz +- 2.4 kHz (MpxOptions::snr_db).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "radio.h"
#include "survey.h"
#include "synthetic.h"

using namespace fmsim;
using namespace fmsim::radio;

namespace {

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

std::vector<RdsGroup> groups(size_t n, uint32_t seed) {
    SyntheticBroadcaster gen({0xD301, true, 0, seed, 1700000000});
    std::vector<RdsGroup> out;
    for (size_t i = 0; i < n; i++) out.push_back(gen.next());
    return out;
}

// Blocks not received correctly, of all blocks sent (lost to a missing
// sync included); wrong: blocks passed as good with other bits.
struct Bler {
    double rate;
    uint64_t wrong;
};

Bler block_error_rate(double snr, bool pilot, size_t n, int max_burst = 2) {
    MpxOptions mo;
    mo.rate = 228000;
    mo.pilot = pilot;
    mo.snr_db = snr;
    mo.seed = static_cast<uint32_t>(snr * 10) + (pilot ? 0 : 1000);
    std::vector<RdsGroup> sent = groups(n, 3);
    std::vector<float> mpx = make_mpx(sent, mo);
    RdsDecoder dec({mo.rate, max_burst, false});
    std::vector<RdsGroup> got;
    dec.push(mpx.data(), mpx.size(), got);
    uint64_t good = dec.blocks_received() - dec.blocks_failed();
    uint64_t wrong = 0;
    if (got.size() == sent.size())
        for (size_t g = 0; g < n; g++)
            for (int b = 0; b < 4; b++)
                if (!(got[g].bad >> b & 1) && got[g].block[b] != sent[g].block[b]) wrong++;
    double total = 4.0 * static_cast<double>(n);
    return {std::max(0.0, (total - static_cast<double>(good - std::min(good, wrong))) / total), wrong};
}

// Surveys of a made 2.4 MS/s band of `stations` stations 300 kHz apart,
// 3 s of signal: the median CPU and wall time of three.
void survey_figures(const std::string& folder, size_t stations, double& cpu_ms, double& wall_ms, size_t& whole) {
    std::vector<BandStation> band;
    for (size_t i = 0; i < stations; i++) {
        char source[32];
        std::snprintf(source, sizeof source, "synthetic:%04X%s", static_cast<unsigned>(0xA100 + i),
                      i % 2 ? ":tmc" : "");
        band.push_back({static_cast<uint32_t>(94000 + 300 * i), static_cast<uint32_t>(30 + i), source});
    }
    BandPlan plan;
    plan.kind = BandPlan::Iq;
    plan.path = folder + "/band" + std::to_string(stations) + ".cu8";
    plan.center = 95000000;
    plan.rate = 2400000;
    std::string why;
    if (!make_band_iq(plan.path, plan.rate, plan.center, 3.0, band, &why)) {
        std::fprintf(stderr, "tuner_radio_bench: %s\n", why.c_str());
        std::exit(1);
    }
    std::vector<double> cpu, wall;
    for (int run = 0; run < 3; run++) {
        std::vector<SurveyStation> found;
        double t = cpu_seconds();
        auto start = std::chrono::steady_clock::now();
        survey_band(plan, {}, found, &why);
        wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(1000 * (cpu_seconds() - t));
        whole = 0;
        for (size_t i = 0; i < found.size() && i < band.size(); i++)
            whole += found[i].khz == band[i].khz && found[i].pi == 0xA100 + i &&
                     found[i].ps.find('\0') == std::string::npos && found[i].tmc == (i % 2 == 1);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    cpu_ms = cpu[1];
    wall_ms = wall[1];
}

// With a programme beside the RDS (stereo noise, RDS at 3.5 %): the block
// error rate where the curve bends, and what the programme costs the modulator.
void programme_figures() {
    const size_t n = 150;
    for (int snr : {0, 2, 4}) {
        MpxOptions mo;
        mo.rate = 228000;
        mo.snr_db = snr;
        mo.seed = static_cast<uint32_t>(snr) + 500;
        mo.programme = ProgrammeAudio::noise(static_cast<uint32_t>(snr) + 1);
        mo.rds_level = kProgrammeRdsLevel;
        std::vector<float> mpx = make_mpx(groups(n, 3), mo);
        RdsDecoder dec({mo.rate, 2});
        std::vector<RdsGroup> got;
        dec.push(mpx.data(), mpx.size(), got);
        double good = static_cast<double>(dec.blocks_received() - dec.blocks_failed());
        std::printf("tuner_radio_bench: SNR %d dB with a stereo programme: BLER %.2f %% (pilot, 2-bit correction)\n",
                    snr, 100 * std::max(0.0, 1 - good / (4.0 * static_cast<double>(n))));
    }
    for (bool with : {false, true}) {
        MpxOptions mo;
        mo.rate = 228000;
        if (with) mo.programme = ProgrammeAudio::noise();
        double t = cpu_seconds();
        std::vector<float> mpx = make_mpx(groups(230, 6), mo);
        double per_s = (cpu_seconds() - t) / (static_cast<double>(mpx.size()) / mo.rate);
        std::printf("tuner_radio_bench: modulator, 228 kHz, %s: %.1f ms CPU a second of signal\n",
                    with ? "with a programme" : "RDS and pilot alone", 1000 * per_s);
    }
}

// Groups recovered and wrong blocks passed, hard against soft decisions,
// on one signal. A group is recovered when it comes out whole: all four
// blocks good and right. A group is placed by the bits the decoder had
// made when it came out (fed a tenth of a group at a time), so a lost sync
// or a slip never shifts the count; a block passed as good with bits other
// than those sent is wrong.
struct Recovery {
    double recovered;  // of the groups sent
    uint64_t wrong;
    double cpu_ms;  // a second of multiplex
};

Recovery recovery(const std::vector<RdsGroup>& sent, const std::vector<float>& mpx, double rate, bool soft) {
    DecoderOptions options;
    options.rate = rate;
    options.soft = soft;
    RdsDecoder dec(options);
    const size_t step = static_cast<size_t>(rate * kBitsPerGroup / kBitRate / 10);
    const double lead_bits = kLeadInSeconds * kBitRate;
    std::vector<uint8_t> whole(sent.size(), 0);
    uint64_t wrong = 0;
    std::vector<RdsGroup> got;
    double cpu = 0;
    for (size_t at = 0; at < mpx.size(); at += step) {
        got.clear();
        double t = cpu_seconds();
        dec.push(mpx.data() + at, std::min(step, mpx.size() - at), got);
        cpu += cpu_seconds() - t;
        for (size_t i = 0; i < got.size(); i++) {
            // The newest group ended a few bits before the decoder's count.
            double end = static_cast<double>(dec.bits()) - static_cast<double>(got.size() - 1 - i) * kBitsPerGroup;
            long g = std::lround((end - lead_bits - 6) / kBitsPerGroup) - 1;
            bool known = g >= 0 && g < static_cast<long>(sent.size());
            int right = 0;
            for (int b = 0; b < 4; b++) {
                if (got[i].bad >> b & 1) continue;
                if (known && got[i].block[b] == sent[static_cast<size_t>(g)].block[b]) right++;
                else wrong++;
            }
            if (known && right == 4) whole[static_cast<size_t>(g)] = 1;
        }
    }
    double recovered = 0;
    for (uint8_t w : whole) recovered += w;
    return {recovered / static_cast<double>(sent.size()), wrong, 1000 * cpu / (static_cast<double>(mpx.size()) / rate)};
}

void soft_table(size_t n) {
    std::printf(
        "tuner_radio_bench: groups recovered whole, hard decisions (2-bit bursts) against soft, 228 kHz multiplex,"
        " pilot, %zu groups a point\n",
        n);
    std::printf("tuner_radio_bench:  SNR   recovered hard  soft    wrong blocks hard  soft    CPU ms/s hard  soft\n");
    for (int snr = -6; snr <= 4; snr++) {
        MpxOptions mo;
        mo.rate = 228000;
        mo.snr_db = snr;
        mo.seed = static_cast<uint32_t>(100 + snr);
        std::vector<RdsGroup> sent = groups(n, 4);
        std::vector<float> mpx = make_mpx(sent, mo);
        Recovery hard = recovery(sent, mpx, mo.rate, false);
        Recovery soft = recovery(sent, mpx, mo.rate, true);
        std::printf("tuner_radio_bench: %3d dB   %6.1f %%  %6.1f %%   %6llu  %6llu         %5.1f  %5.1f\n", snr,
                    100 * hard.recovered, 100 * soft.recovered, static_cast<unsigned long long>(hard.wrong),
                    static_cast<unsigned long long>(soft.wrong), hard.cpu_ms, soft.cpu_ms);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --snr: the table of groups recovered against SNR alone.
    const bool only_table = argc > 1 && std::string(argv[1]) == "--snr";
    soft_table(only_table && argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 1000);
    if (only_table) return 0;

    // Block error rate.
    const size_t n = 150;  // 13 s of signal a point
    std::printf(
        "tuner_radio_bench: block error rate, 228 kHz multiplex, %zu groups a point, hard decisions, burst correction "
        "2 bits\n",
        n);
    std::printf("tuner_radio_bench: SNR = RDS power / noise power in 57 kHz +- 2.4 kHz\n");
    // 0 to 4 dB too: where the curve bends.
    for (int snr = 0; snr <= 30; snr += 2) {
        Bler with = block_error_rate(snr, true, n);
        Bler without = block_error_rate(snr, false, n);
        Bler raw = block_error_rate(snr, true, n, 0);
        std::printf(
            "tuner_radio_bench: SNR %2d dB  BLER %6.2f %% (pilot)  %6.2f %% (no pilot)  %6.2f %% (pilot, no"
            " correction)  wrongly accepted %llu %llu\n",
            snr, 100 * with.rate, 100 * without.rate, 100 * raw.rate, static_cast<unsigned long long>(with.wrong),
            static_cast<unsigned long long>(without.wrong));
    }

    // Time to the first group after a reset, at 20 dB: a reset at 20
    // places in a running signal, fed 1 ms at a time.
    for (bool pilot : {true, false}) {
        MpxOptions mo;
        mo.rate = 228000;
        mo.pilot = pilot;
        mo.snr_db = 20;
        std::vector<float> mpx = make_mpx(groups(60, 5), mo);
        RdsDecoder dec({mo.rate, 2});
        std::vector<double> ms;
        std::mt19937 rng(9);
        const size_t step = 228;
        for (int trial = 0; trial < 20; trial++) {
            size_t at = static_cast<size_t>(mo.rate * 0.3) + rng() % static_cast<size_t>(mo.rate * 3.0);
            dec.reset();
            std::vector<RdsGroup> got;
            size_t fed = 0;
            while (got.empty() && at + fed + step <= mpx.size()) {
                dec.push(mpx.data() + at + fed, step, got);
                fed += step;
            }
            ms.push_back(1000.0 * static_cast<double>(fed) / mo.rate);
        }
        std::sort(ms.begin(), ms.end());
        std::printf(
            "tuner_radio_bench: first group after a reset, 20 dB, %s: median %.0f ms, max %.0f ms of signal"
            " (a group lasts 87.6 ms)\n",
            pilot ? "pilot" : "no pilot", ms[ms.size() / 2], ms.back());
    }

    // CPU time per second of signal.
    {
        MpxOptions mo;
        mo.rate = 228000;
        mo.snr_db = 20;
        std::vector<float> mpx = make_mpx(groups(230, 6), mo);  // 20 s
        RdsDecoder dec({mo.rate, 2});
        std::vector<RdsGroup> got;
        double t = cpu_seconds();
        for (size_t at = 0; at < mpx.size(); at += 4096)
            dec.push(mpx.data() + at, std::min<size_t>(4096, mpx.size() - at), got);
        double per_s = (cpu_seconds() - t) / (static_cast<double>(mpx.size()) / mo.rate);
        std::printf(
            "tuner_radio_bench: decoder, 228 kHz multiplex: %.1f ms CPU a second of signal (%.1f %% of a core), %zu "
            "groups\n",
            1000 * per_s, 100 * per_s, got.size());
    }
    {
        MpxOptions mo;
        mo.rate = 228000;
        std::vector<float> mpx = make_mpx(groups(60, 7), mo);  // 5.3 s
        IqOptions io;
        io.iq_rate = 2400000;
        io.offset_hz = 300000;
        io.snr_db = 30;
        std::vector<uint8_t> raw = fm_modulate(mpx, mo.rate, io, IqFormat::Cu8);
        FmChannel channel(io.iq_rate, io.offset_hz);
        RdsDecoder dec({channel.mpx_rate(), 2});
        std::vector<std::complex<float>> iq;
        std::vector<float> out;
        std::vector<RdsGroup> got;
        const size_t chunk = 2 * 16384;  // a dongle's usual transfer
        double t = cpu_seconds();
        for (size_t at = 0; at < raw.size(); at += chunk) {
            iq.clear();
            out.clear();
            iq_to_complex(raw.data() + at, std::min(chunk, raw.size() - at), IqFormat::Cu8, iq);
            channel.push(iq.data(), iq.size(), out);
            dec.push(out.data(), out.size(), got);
        }
        double signal_s = static_cast<double>(raw.size() / 2) / io.iq_rate;
        double per_s = (cpu_seconds() - t) / signal_s;
        std::printf(
            "tuner_radio_bench: 2.4 MS/s cu8 IQ -> channel -> FM -> decoder: %.1f ms CPU a second of signal"
            " (%.1f %% of a core), %zu of 60 groups\n",
            1000 * per_s, 100 * per_s, got.size());
    }

    // The survey: all channels of the span from one channelizer.
    {
        std::string folder = (std::filesystem::temp_directory_path() / "tuner_radio_bench.XXXXXX").string();
        if (!mkdtemp(folder.data())) return 1;
        double cpu1 = 0, wall1 = 0, cpu8 = 0, wall8 = 0;
        size_t whole1 = 0, whole8 = 0;
        survey_figures(folder, 1, cpu1, wall1, whole1);
        survey_figures(folder, 8, cpu8, wall8, whole8);
        std::filesystem::remove_all(folder);
        std::printf(
            "tuner_radio_bench: survey of a 2.4 MHz span, 3 s of cu8 IQ: one station %.0f ms CPU (%.0f ms), eight "
            "stations %.0f ms CPU (%.0f ms): %.2f times one; stations found whole %zu of 1, %zu of 8\n",
            cpu1, wall1, cpu8, wall8, cpu8 / cpu1, whole1, whole8);
    }
    programme_figures();
    return 0;
}
