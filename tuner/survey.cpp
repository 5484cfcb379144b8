// The band survey and the band maker.
#include "survey.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "ce_platform.h"
#include "radio/radio.h"
#include "real_air.h"
#include "recording.h"
#include "synthetic.h"

namespace fmsim {

// ---- what a station's groups tell ------------------------------------------------

void StationLog::add(const RdsGroup& g) {
    auto good = [&](int b) { return !(g.bad >> b & 1); };
    auto count_pi = [&](uint16_t pi) {
        for (auto& [p, n] : pis_)
            if (p == pi) return void(n++);
        pis_.emplace_back(pi, 1);
    };
    if (good(0)) count_pi(g.block[0]);
    if (!good(1)) return;
    const unsigned type = g.block[1] >> 12;
    const bool version_b = g.block[1] >> 11 & 1;
    // A version-B group repeats the PI in its third block.
    if (version_b && good(2)) count_pi(g.block[2]);
    if (type == 0 && good(3)) {
        unsigned seg = g.block[1] & 3;
        ps_[seg * 2] = static_cast<char>(g.block[3] >> 8);
        ps_[seg * 2 + 1] = static_cast<char>(g.block[3] & 0xFF);
        ps_have_ |= static_cast<uint8_t>(1u << seg);
    }
    if (type == 8 && !version_b) tmc_ = true;
    if (type == 3 && !version_b && good(3) && (g.block[3] == kTmcAid || g.block[3] == 0xCD47)) tmc_ = true;
}

std::optional<uint16_t> StationLog::pi() const {
    const std::pair<uint16_t, uint32_t>* best = nullptr;
    for (const auto& p : pis_)
        if (!best || p.second > best->second) best = &p;
    if (!best || best->second < 2) return std::nullopt;
    return best->first;
}

std::string StationLog::ps() const {
    if (!ps_have_) return "";
    std::string s(8, '\0');
    for (size_t k = 0; k < 8; k++)
        if (ps_have_ >> (k / 2) & 1) s[k] = ps_[k];
    return s;
}

std::string format_survey_line(const SurveyStation& st) {
    char pi[8] = "----";
    if (st.pi) std::snprintf(pi, sizeof pi, "%04X", *st.pi);
    // Printable ASCII as is; a character not received, or one the line
    // could not carry (a tab, a byte of the RDS character set), reads '?'.
    std::string ps = st.ps;
    for (char& c : ps)
        if (c < 0x20 || c > 0x7E) c = '?';
    while (!ps.empty() && ps.back() == ' ') ps.pop_back();
    if (ps.empty()) ps.push_back('-');
    return std::to_string(st.khz) + "\t" + std::to_string(st.rssi) + "\t" + pi + "\t" + ps + "\t" +
           (st.tmc ? "tmc" : "-");
}

// ---- the survey ----------------------------------------------------------------------

namespace {

struct Candidate {
    uint32_t khz;
    uint32_t rssi;
};

// The channels a seek would stop at: strong enough, and stronger than both
// neighbours (an FM signal spills into the channels beside it).
std::vector<Candidate> peaks(std::vector<std::pair<uint32_t, double>> powers, uint32_t level) {
    std::sort(powers.begin(), powers.end());
    std::vector<Candidate> out;
    for (size_t i = 0; i < powers.size(); i++) {
        auto [khz, p] = powers[i];
        uint32_t rssi = radio::rssi_from_power(p);
        bool up = i == 0 || powers[i - 1].first + 100 != khz || powers[i - 1].second <= p;
        bool down = i + 1 == powers.size() || powers[i + 1].first != khz + 100 || powers[i + 1].second <= p;
        if (up && down && rssi > 0 && rssi >= level) out.push_back({khz, rssi});
    }
    return out;
}

// Decodes the candidates, all inside the device's current window, at once:
// one channelizer for the window, then a discriminator and a decoder per
// channel. `first` is signal already read there. Stops early once every
// channel has told all it can.
std::vector<SurveyStation> decode_window(IqDevice& device, const std::vector<Candidate>& candidates,
                                         std::vector<std::complex<float>> first, size_t samples) {
    struct Channel {
        radio::FmDiscriminator fm;
        radio::RdsDecoder decoder;
        StationLog log;
    };
    const double rate = device.rate();
    radio::Channelizer channelizer(rate);
    std::vector<std::unique_ptr<Channel>> channels;
    for (const auto& c : candidates) {
        channelizer.add(c.khz * 1000.0 - static_cast<double>(device.center()));
        radio::DecoderOptions options;
        options.rate = channelizer.channel_rate();
        channels.push_back(std::unique_ptr<Channel>(
            new Channel{radio::FmDiscriminator(channelizer.channel_rate()), radio::RdsDecoder(options), {}}));
    }
    std::vector<std::vector<std::complex<float>>> base;
    std::vector<float> mpx;
    std::vector<RdsGroup> groups;
    std::vector<std::complex<float>> iq = std::move(first);
    const uint64_t passes = device.passes();
    size_t done = 0;
    for (;;) {
        if (iq.empty()) {
            iq.resize(std::min<size_t>(65536, samples - done));
            iq.resize(device.read(iq.data(), iq.size()));
            if (iq.empty()) break;
        }
        done += iq.size();
        for (auto& b : base) b.clear();
        channelizer.push(iq.data(), iq.size(), base);
        bool all = true;
        for (size_t i = 0; i < channels.size(); i++) {
            Channel& ch = *channels[i];
            mpx.clear();
            groups.clear();
            ch.fm.push(base[i].data(), base[i].size(), mpx);
            ch.decoder.push(mpx.data(), mpx.size(), groups);
            for (const auto& g : groups) ch.log.add(g);
            all = all && ch.log.complete();
        }
        // A recording is surveyed once through, not round its loop (a
        // recording standing in for a dongle is the live air: it goes on).
        if (all || done >= samples || (!device.live() && device.passes() != passes)) break;
        iq.clear();
    }
    std::vector<SurveyStation> out;
    for (size_t i = 0; i < candidates.size(); i++) {
        const StationLog& log = channels[i]->log;
        out.push_back({candidates[i].khz, candidates[i].rssi, log.pi(), log.ps(), log.tmc()});
    }
    return out;
}

bool survey_span(const BandPlan& band, const SurveyOptions& options, std::vector<SurveyStation>& found,
                 std::string* error) {
    auto device = open_iq_recording(band, error);
    if (!device) return false;
    const size_t samples = static_cast<size_t>(options.seconds * band.rate);
    // The channels' strengths from the first quarter second, as the tuner measures them.
    std::vector<std::complex<float>> first(std::min<size_t>(samples, band.rate / 4));
    first.resize(device->read(first.data(), first.size()));
    if (first.empty()) {
        if (error) *error = "the IQ recording holds no samples";
        return false;
    }
    std::vector<std::complex<float>> copy = first;
    auto candidates = peaks(measure_channels(copy, band.center, band.rate), options.level);
    if (candidates.empty()) return true;
    found = decode_window(*device, candidates, std::move(first), samples);
    return true;
}

// The dongle sees about 1 MHz, of which some 800 kHz cleanly: nearer its
// edges, what lies beyond them folds in. A sweep first measures every
// channel, three a window (100 to 300 kHz above the centre, clear of the
// mixer's spike at 0 Hz); then the stations found are decoded
// a window at a time, up to six at once: 100 to 300 kHz either side of the
// centre. The channel filter (+-90 kHz) keeps the spike out of the two
// beside it; the centre's own channel waits for another window.
bool survey_sweep(const BandPlan& band, const SurveyOptions& options, std::vector<SurveyStation>& found,
                  std::string* error) {
    auto device = open_rtl(band, error);
    if (!device) return false;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::map<uint32_t, double> powers;
    std::vector<std::complex<float>> block;
    for (uint32_t khz = options.from_khz; khz <= options.to_khz; khz += 300) {
        uint64_t center = (static_cast<uint64_t>(khz) - 100) * 1000;
        if (!device->set_center(center)) return fail("the dongle cannot tune to " + std::to_string(center) + " Hz");
        block.resize(32768);
        block.resize(device->read(block.data(), block.size()));
        if (block.empty()) return fail("the dongle sends no samples");
        for (auto [f, p] : measure_channels(block, center, device->rate()))
            if (f >= khz && f < khz + 300 && f <= options.to_khz) powers.emplace(f, p);
    }
    auto candidates = peaks({powers.begin(), powers.end()}, options.level);
    const size_t samples = static_cast<size_t>(options.seconds * device->rate());
    for (size_t i = 0; i < candidates.size();) {
        const int64_t center = static_cast<int64_t>(candidates[i].khz) + 300;
        std::vector<Candidate> window;
        for (; i < candidates.size(); i++) {
            int64_t off = static_cast<int64_t>(candidates[i].khz) - center;
            // Beyond the window, or on its spike: it starts the next.
            if (off > 300 || off == 0) break;
            window.push_back(candidates[i]);
        }
        if (!device->set_center(static_cast<uint64_t>(center) * 1000))
            return fail("the dongle cannot tune to " + std::to_string(center) + " kHz");
        auto got = decode_window(*device, window, {}, samples);
        found.insert(found.end(), got.begin(), got.end());
    }
    return true;
}

}  // namespace

bool survey_band(const BandPlan& band, const SurveyOptions& options, std::vector<SurveyStation>& found,
                 std::string* error) {
    found.clear();
    if (band.kind == BandPlan::Iq) return survey_span(band, options, found, error);
    if (band.kind == BandPlan::Rtl) return survey_sweep(band, options, found, error);
    if (error) *error = "no band is set (cectl air iq FILE ... or cectl air rtl)";
    return false;
}

// ---- making a band ---------------------------------------------------------------------

namespace {

// One station's signal: its groups (or multiplex file) to FM at its place.
class MadeStation {
public:
    bool open(const BandStation& st, uint32_t rate, uint64_t center, std::string* error) {
        auto fail = [&](const std::string& why) {
            if (error) *error = st.source + ": " + why;
            return false;
        };
        double mpx_rate = kMpxMakeRate;
        if (st.source.rfind("synthetic:", 0) == 0) {
            // synthetic:PI[:tmc]
            std::string rest = st.source.substr(10), pi_text = rest.substr(0, rest.find(':'));
            std::string flag = rest.size() > pi_text.size() ? rest.substr(pi_text.size() + 1) : "";
            StationSource wanted;
            std::string source = "synthetic " + pi_text + (flag.empty() ? "" : " " + flag);
            if (!parse_source(source, wanted, error) || wanted.error_percent || (!flag.empty() && flag != "tmc"))
                return fail("not synthetic:PI or synthetic:PI:tmc");
            SyntheticConfig config;
            config.pi = wanted.pi;
            config.tmc = wanted.tmc;
            config.fixed_clock = 1772437500;  // the same band on every run
            synthetic_.emplace(config);
        } else if ((file_ = radio::MpxFile::open(st.source, std::nullopt))) {
            mpx_rate = file_->rate();
        } else {
            std::string why;
            auto rec = load_recording(st.source, &why);
            if (!rec) return fail(why);
            if (rec->groups.empty()) return fail("neither a multiplex nor a recording of RDS groups");
            recording_ = rec;
        }
        if (!file_) {
            radio::MpxOptions mo;
            mo.rate = mpx_rate;
            modulator_.emplace(mo);
        }
        radio::IqOptions io;
        io.iq_rate = rate;
        io.offset_hz = st.khz * 1000.0 - static_cast<double>(center);
        io.level = std::pow(10.0, (static_cast<double>(st.rssi) - 60.0) / 20.0);
        fm_.emplace(mpx_rate, io);
        return true;
    }

    // Adds the next count samples of the station onto sum.
    bool add_to(std::complex<float>* sum, size_t count, std::string* error) {
        while (pending_.size() - head_ < count) {
            mpx_.clear();
            if (file_) {
                mpx_.resize(16384);
                size_t n = file_->read(mpx_.data(), mpx_.size());
                if (n == 0) {
                    // Looped; an empty file would loop forever.
                    if (++empty_ > 1 || !file_->rewind()) {
                        if (error) *error = "a multiplex source holds no samples";
                        return false;
                    }
                    continue;
                }
                empty_ = 0;
                mpx_.resize(n);
            } else {
                std::vector<RdsGroup> groups;
                for (int k = 0; k < 8; k++) {
                    if (synthetic_) groups.push_back(synthetic_->next());
                    else groups.push_back(recording_->groups[next_++ % recording_->groups.size()]);
                }
                modulator_->modulate(groups, mpx_);
            }
            fm_->push(mpx_.data(), mpx_.size(), pending_);
        }
        for (size_t k = 0; k < count; k++) sum[k] += pending_[head_ + k];
        head_ += count;
        // What is used goes once it is most of the buffer, not at every piece.
        if (head_ > pending_.size() / 2) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(head_));
            head_ = 0;
        }
        return true;
    }

private:
    std::optional<SyntheticBroadcaster> synthetic_;
    std::shared_ptr<const Recording> recording_;
    size_t next_ = 0;
    std::unique_ptr<radio::MpxFile> file_;
    int empty_ = 0;
    std::optional<radio::MpxModulator> modulator_;
    std::optional<radio::FmModulator> fm_;
    std::vector<float> mpx_;
    std::vector<std::complex<float>> pending_;
    size_t head_ = 0;  // pending_ before it is used
};

bool write_all(int fd, const uint8_t* data, size_t size, std::string* error) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool make_band_iq(const std::string& out, uint32_t rate, uint64_t center, double seconds,
                  const std::vector<BandStation>& stations, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (stations.empty()) return fail("a band needs a station");
    if (!(seconds > 0) || seconds > 3600) return fail("the length is 0 to 3600 seconds");
    std::vector<std::unique_ptr<MadeStation>> made;
    for (const auto& st : stations) {
        double offset = st.khz * 1000.0 - static_cast<double>(center);
        if (std::abs(offset) > rate / 2.0 - 100000)
            return fail(std::to_string(st.khz) + " kHz lies outside the recorded band (its 200 kHz must fit)");
        if (st.rssi > kMaxMadeRssi) return fail("a made station's strength is 0..60");
        made.push_back(std::make_unique<MadeStation>());
        if (!made.back()->open(st, rate, center, error)) return false;
    }
    ce::ReplacementFile file;
    std::string why;
    if (!file.open(out, &why)) return fail("cannot write " + why);
    const size_t total = static_cast<size_t>(seconds * rate), piece = 65536;
    std::vector<std::complex<float>> sum;
    std::vector<uint8_t> bytes;
    std::mt19937 rng(1);  // the same band on every run
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (size_t at = 0; at < total; at += piece) {
        size_t n = std::min(piece, total - at);
        sum.assign(n, {});
        for (auto& st : made)
            if (!st->add_to(sum.data(), n, error)) return false;
        // As a dongle's converter gives it: with its own noise (half a
        // step), without which the rounding would make intermodulation
        // products of the strong stations that a weak one drowns in; clipped
        // at full scale.
        bytes.resize(2 * n);
        for (size_t k = 0; k < n; k++) {
            float i = sum[k].real() * 127.5f + 127.5f + 0.5f * noise(rng);
            float q = sum[k].imag() * 127.5f + 127.5f + 0.5f * noise(rng);
            bytes[2 * k] = static_cast<uint8_t>(std::clamp(std::lround(i), 0L, 255L));
            bytes[2 * k + 1] = static_cast<uint8_t>(std::clamp(std::lround(q), 0L, 255L));
        }
        if (!write_all(file.fd(), bytes.data(), bytes.size(), &why)) return fail("cannot write " + out + ": " + why);
    }
    if (!file.commit(&why)) return fail("cannot write " + why);
    return true;
}

}  // namespace fmsim
