// The synthetic broadcaster's group schedule and encoders.
#include "synthetic.h"

#include <cstdio>
#include <ctime>

namespace fmsim {

namespace {

// Group schedules, one slot a group. A TMC station spends about four groups
// in ten on TMC, as real services do; a plain one alternates PS and text.
enum Slot : uint8_t { PS, RT, SYS, TMC };
constexpr Slot kTmcSchedule[] = {PS, TMC, PS, TMC, RT, PS, TMC, SYS, PS, TMC};
constexpr Slot kPlainSchedule[] = {PS, PS, RT, PS, PS, RT, PS, RT};

// Clock time goes out at the start of the stream and then about once a
// minute (11.4 groups a second), twice in a row so that a receiver can
// confirm it before setting its clock.
constexpr uint64_t kCtEvery = 684;

}  // namespace

SyntheticBroadcaster::SyntheticBroadcaster(const SyntheticConfig& config) : config_(config), rng_(config.seed) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s %04X", config.tmc ? "TMC" : "SIM", config.pi);
    ps_ = buf;
    std::snprintf(buf, sizeof buf, "%04X", config.pi);
    rt_ = std::string("Tervalon synthetic station ") + buf + (config.tmc ? " with traffic information" : "");
    if (config_.error_percent > 100) config_.error_percent = 100;
    if (!config.tmc) return;
    // Plausible traffic: stationary traffic, roadworks, a closure with the
    // length of the route affected and a supplementary text, a queue.
    messages_.push_back({101, 12345, 1, false, false, 0, {}});
    messages_.push_back({701, 4102, 2, true, false, 2, {}});
    messages_.push_back({401, 23456, 3, false, false, 0, {{2, 5}, {6, 33}}});
    messages_.push_back({108, 7001, 1, true, true, 1, {}});
    uint8_t ci = 1;
    for (const auto& m : messages_) {
        for (const auto& g : encode_tmc(config.pi, m, ci)) {
            tmc_cycle_.push_back(g);
            tmc_cycle_.push_back(g);
        }
        if (m.multi_group()) ci = static_cast<uint8_t>(ci % 6 + 1);
    }
}

uint16_t SyntheticBroadcaster::block_b(uint8_t type, uint8_t low5) const {
    // type in bits 15-12, version A (bit 11 clear), TP for a TMC station, PTY.
    uint16_t tp = config_.tmc ? 1 : 0;
    return static_cast<uint16_t>((type << 12) | (tp << 10) | (kPty << 5) | (low5 & 0x1F));
}

RdsGroup SyntheticBroadcaster::ps_group() {
    size_t seg = ps_seg_++ % 4;
    RdsGroup g;
    g.block[0] = config_.pi;
    // Music, decoder-information bit "stereo" on segment 3.
    uint8_t di = seg == 3 ? 1 : 0;
    g.block[1] = block_b(0, static_cast<uint8_t>((1 << 3) | (di << 2) | seg));
    g.block[2] = 0xE0CD;  // no alternative frequencies, filler
    g.block[3] =
        static_cast<uint16_t>((static_cast<uint8_t>(ps_[seg * 2]) << 8) | static_cast<uint8_t>(ps_[seg * 2 + 1]));
    return g;
}

RdsGroup SyntheticBroadcaster::rt_group() {
    // The text ends with a carriage return; segments past it are not sent.
    std::string text = rt_ + "\r";
    size_t segments = (text.size() + 3) / 4;
    if (segments > 16) segments = 16;
    size_t seg = rt_seg_++ % segments;
    auto ch = [&](size_t i) -> uint8_t { return i < text.size() ? static_cast<uint8_t>(text[i]) : ' '; };
    RdsGroup g;
    g.block[0] = config_.pi;
    g.block[1] = block_b(2, static_cast<uint8_t>(seg));
    g.block[2] = static_cast<uint16_t>((ch(seg * 4) << 8) | ch(seg * 4 + 1));
    g.block[3] = static_cast<uint16_t>((ch(seg * 4 + 2) << 8) | ch(seg * 4 + 3));
    return g;
}

RdsGroup SyntheticBroadcaster::ct_group() {
    std::time_t now = std::time(nullptr);
    // count_ already counts this group: the clock's first pair is minute 0.
    if (config_.fixed_clock != 0)
        now = static_cast<std::time_t>(config_.fixed_clock + 60 * static_cast<int64_t>((count_ - 1) / kCtEvery));
    std::tm utc{}, local{};
    gmtime_r(&now, &utc);
    localtime_r(&now, &local);
    uint32_t mjd = static_cast<uint32_t>(now / 86400) + 40587;
    long offset_half_hours = config_.fixed_clock != 0 ? 0 : local.tm_gmtoff / 1800;
    uint16_t sign = offset_half_hours < 0 ? 1 : 0;
    uint16_t magnitude = static_cast<uint16_t>((offset_half_hours < 0 ? -offset_half_hours : offset_half_hours) & 0x1F);
    uint16_t hour = static_cast<uint16_t>(utc.tm_hour), minute = static_cast<uint16_t>(utc.tm_min);
    RdsGroup g;
    g.block[0] = config_.pi;
    g.block[1] = block_b(4, static_cast<uint8_t>((mjd >> 15) & 0x3));
    g.block[2] = static_cast<uint16_t>(((mjd & 0x7FFF) << 1) | (hour >> 4));
    g.block[3] = static_cast<uint16_t>(((hour & 0xF) << 12) | (minute << 6) | (sign << 5) | magnitude);
    return g;
}

RdsGroup SyntheticBroadcaster::tmc_system_group() {
    // Variant 0 (location table, scope) and variant 1 (service id), each
    // twice in a row so that a receiver can confirm it.
    size_t seg = sys_seg_++ % 4;
    RdsGroup g;
    g.block[0] = config_.pi;
    g.block[1] = block_b(3, 8 << 1);  // the application rides on group 8A
    // The variant code is in the top two bits.
    if (seg < 2) {
        // variant 0: LTN, AFI 0, basic mode, geographic scope "national"
        g.block[2] = static_cast<uint16_t>((0 << 14) | (kLtn << 6) | 0x4);
    } else {
        // variant 1: gap parameter 1 (one group in three), SID
        g.block[2] = static_cast<uint16_t>((1 << 14) | (1 << 12) | (kSid << 6));
    }
    g.block[3] = kTmcAid;
    return g;
}

RdsGroup SyntheticBroadcaster::tmc_group() {
    if (tmc_cycle_.empty()) return ps_group();
    return tmc_cycle_[tmc_pos_++ % tmc_cycle_.size()];
}

int SyntheticBroadcaster::tmc_label_bits(uint8_t label) {
    static constexpr int kBits[16] = {3, 3, 5, 5, 5, 8, 8, 8, 8, 11, 16, 16, 16, 16, 0, 0};
    return kBits[label & 0xF];
}

std::vector<RdsGroup> SyntheticBroadcaster::encode_tmc(uint16_t pi, const TmcMessage& msg, uint8_t continuity) {
    std::vector<RdsGroup> out;
    auto b8 = [&](uint8_t low5) { return static_cast<uint16_t>((8 << 12) | (1 << 10) | (kPty << 5) | (low5 & 0x1F)); };
    uint16_t event_word =
        static_cast<uint16_t>(((msg.negative ? 1 : 0) << 14) | ((msg.extent & 7) << 11) | (msg.event & 0x7FF));
    if (!msg.multi_group()) {
        RdsGroup g;
        g.block[0] = pi;
        g.block[1] = b8(static_cast<uint8_t>((1 << 3) | (msg.duration & 7)));
        g.block[2] = static_cast<uint16_t>(((msg.diversion ? 1 : 0) << 15) | event_word);
        g.block[3] = msg.location;
        out.push_back(g);
        return out;
    }
    uint8_t ci = static_cast<uint8_t>(continuity & 7);
    RdsGroup first;
    first.block[0] = pi;
    first.block[1] = b8(ci);
    first.block[2] = static_cast<uint16_t>((1 << 15) | event_word);
    first.block[3] = msg.location;
    out.push_back(first);
    // The optional content: label, value, ... packed from the top, 28 bits a
    // following group.
    std::vector<bool> bits;
    for (const auto& [label, value] : msg.fields) {
        for (int i = 3; i >= 0; i--) bits.push_back((label >> i) & 1);
        for (int i = tmc_label_bits(label) - 1; i >= 0; i--) bits.push_back((value >> i) & 1);
    }
    size_t groups = (bits.size() + 27) / 28;
    if (groups > 4) groups = 4;
    bits.resize(groups * 28, false);
    for (size_t n = 0; n < groups; n++) {
        uint32_t data = 0;
        for (size_t i = 0; i < 28; i++) data = (data << 1) | (bits[n * 28 + i] ? 1u : 0u);
        uint16_t second = n == 0 ? 1 : 0;
        uint16_t gsi = static_cast<uint16_t>(groups - 1 - n);
        RdsGroup g;
        g.block[0] = pi;
        g.block[1] = b8(ci);
        g.block[2] = static_cast<uint16_t>((second << 14) | ((gsi & 3) << 12) | ((data >> 16) & 0xFFF));
        g.block[3] = static_cast<uint16_t>(data & 0xFFFF);
        out.push_back(g);
    }
    return out;
}

RdsGroup SyntheticBroadcaster::clean_next() {
    uint64_t n = count_++;
    if (n % kCtEvery == 1 || n % kCtEvery == 2) return ct_group();
    Slot slot;
    if (config_.tmc) slot = kTmcSchedule[slot_++ % std::size(kTmcSchedule)];
    else slot = kPlainSchedule[slot_++ % std::size(kPlainSchedule)];
    switch (slot) {
        case PS: return ps_group();
        case RT: return rt_group();
        case SYS: return tmc_system_group();
        case TMC: return tmc_group();
    }
    return ps_group();
}

RdsGroup SyntheticBroadcaster::next() {
    RdsGroup g = clean_next();
    if (config_.error_percent == 0) return g;
    std::uniform_int_distribution<unsigned> percent(0, 99);
    for (int b = 0; b < 4; b++) {
        if (percent(rng_) < config_.error_percent) {
            // A block received in error carries whatever the demodulator made of it.
            g.block[b] = static_cast<uint16_t>(rng_());
            g.bad |= static_cast<uint8_t>(1u << b);
        }
    }
    return g;
}

}  // namespace fmsim
