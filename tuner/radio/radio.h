// Real radio for the simulated tuner: RDS carried on an FM multiplex (the
// FM-demodulated baseband) or inside an IQ recording of a band, and the
// modulator that makes such signals from groups. Plain C++ outside; the DSP
// library behind it (liquid-dsp) never shows in these declarations.
//
// Rates: a multiplex is read at any rate from 160 kHz up (171 kHz, 192 kHz
// and 228 kHz are the usual ones); IQ at any rate from 200 kS/s up.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rds_group.h"

namespace fmsim::radio {

// ---- Blocks, check words and offsets --------------------------------------

enum class Offset : uint8_t { A, B, C, Cprime, D };

constexpr uint16_t kOffsetWord[5] = {0x0FC, 0x198, 0x168, 0x350, 0x1B4};
constexpr int kBitsPerBlock = 26;
constexpr int kBitsPerGroup = 104;
constexpr double kBitRate = 1187.5;
constexpr double kPilotHz = 19000.0;
constexpr double kSubcarrierHz = 57000.0;
constexpr int kMaxBurst = 5;  // the longest burst the code corrects

// The 10-bit check word of an information word (generator
// x^10 + x^8 + x^7 + x^5 + x^4 + x^3 + 1), without the offset.
uint16_t check_word(uint16_t info);
// The 26 bits sent for a block: information word then check word + offset.
uint32_t encode_block(uint16_t info, Offset offset);
// The syndrome of 26 received bits; equal to the offset's syndrome when the
// block is error-free.
uint16_t syndrome(uint32_t bits26);

struct BlockDecode {
    bool ok = false;    // error-free, or corrected within the burst limit
    uint16_t info = 0;  // the information word (the received bits when !ok)
    int corrected = 0;  // bits corrected (symbols flipped, by decode_block_soft)
    float cost = 0;     // decode_block_soft: the cost of the cheapest correction found
};
// Decodes 26 received bits as a block with the expected offset, correcting a
// burst of up to max_burst bits (0: detection only).
BlockDecode decode_block(uint32_t bits26, Offset expected, int max_burst);

// Soft decision. The bits are differentially coded: one wrong coded symbol
// makes two neighbouring bits wrong, and a bit is only as sure as the less
// sure of its two symbols. So corrections are sought as flips of coded
// symbols, each at its own cost (how sure the symbol was): the 27 symbols
// a block's bits come from, the one before its first bit at cost[0], the
// symbol of bit i at cost[i + 1].
constexpr int kSymbolsPerBlock = kBitsPerBlock + 1;
struct SoftLimits {
    int max_burst = 2;      // a burst the hard decoder would correct is a candidate too
    int candidates = 12;    // the least reliable symbols whose combinations are tried
    int max_flips = 4;      // symbols flipped at most (up to 4)
    float max_cost = 1.2f;  // the costliest correction accepted
    int max_rivals = 64;    // combinations at most as cheap as the correction (itself included)
};
// True when the 26 bits are exactly a block of that offset sent bad
// (encode_bad_block): its check word was spoiled on purpose, and no
// correction is sought for it.
bool reads_as_bad_block(uint32_t bits26, Offset offset);
// Error-free blocks pass as they are; blocks sent bad fail with the bits as
// received, as do bits that some flips no costlier than the best correction
// make a block sent bad. Otherwise the cheapest correction that makes the
// block check for the expected offset, among: the burst (costed as symbol
// flips), any one symbol, and combinations of up to max_flips of the least
// reliable symbols; taken when it costs at most max_cost and at most
// max_rivals combinations cost as little (each matches a wrong syndrome by
// chance 1 time in 1024). A block sent bad is five flips from its good form.
BlockDecode decode_block_soft(uint32_t bits26, const float* cost, Offset expected, const SoftLimits& limits);
// The cheapest symbol flips (within the limits, up to bound; infinity when
// none) that make the bits a block of that offset sent bad.
float bad_block_cost(uint32_t bits26, const float* cost, Offset offset, const SoftLimits& limits, float bound);
// What taking the 26 received bits for the 26 bits of a known block costs,
// as symbol flips (how many in *flips).
float block_cost(uint32_t bits26, const float* cost, uint32_t sent26, int* flips = nullptr);

// A block sent as received in error: the information word as given, the
// check word spoiled by a fixed pattern (bad_check_pattern(), on the ten
// check bits) that no correction of a burst of up to kMaxBurst bits undoes,
// for its own offset nor for C/C' in the third block, and that never reads
// as another offset's block. A decoder reports it bad with the same
// information word.
uint16_t bad_check_pattern();
uint32_t encode_bad_block(uint16_t info, Offset offset);

// The 104 bits of a group (0 or 1 each), in the order sent: element 0 is the
// first bit of block A. Block C goes with offset C' when it is a version-B
// group; a block marked bad is sent as encode_bad_block() makes it.
std::vector<uint8_t> group_bits(const RdsGroup& group);

// ---- The programme ------------------------------------------------------------

// Audio that a station's programme is made of: stereo frames at its own rate,
// read a piece at a time (a long recording never sits whole in memory).
class ProgrammeAudio {
public:
    virtual ~ProgrammeAudio() = default;
    virtual double rate() const = 0;
    // Up to frames frames, left and right interleaved; 0 at the end.
    virtual size_t read(float* lr, size_t frames) = 0;
    virtual bool rewind() = 0;

    // A sound file as libsndfile reads it (WAV, FLAC, ...), mono (both sides
    // alike) or stereo, 8 kHz to 384 kHz. Null with a reason.
    static std::unique_ptr<ProgrammeAudio> open(const std::string& path, std::string* error = nullptr);
    // Endless noise of a programme's spectrum (falling above 3 kHz as music
    // and speech do), partly alike on both sides, loud enough that its peaks
    // meet the limiter now and then.
    static std::unique_ptr<ProgrammeAudio> noise(uint32_t seed = 1);
};

// The RDS level beside a programme (of full deviation): broadcasters run RDS
// at 2 to 4 kHz of the 75 kHz.
constexpr double kProgrammeRdsLevel = 0.035;

// ---- The modulator -----------------------------------------------------------

struct MpxOptions {
    double rate = 228000.0;     // samples per second of the multiplex
    bool pilot = true;          // 19 kHz pilot; the 57 kHz carrier is locked to three times it
    double pilot_level = 0.09;  // of full deviation
    double rds_level = 0.05;
    double subcarrier_offset_hz = 0.0;  // the 57 kHz carrier (and pilot) off their place
    double clock_ppm = 0.0;             // sample clock error of the recording
    std::optional<double> snr_db;       // white noise added, relative to the RDS signal's power
                                        // in its 2.4 kHz bandwidth: signal power over the noise's
                                        // power in 57 kHz +- 2.4 kHz, the band RDS occupies
    uint32_t seed = 1;                  // noise
    // A programme beside the RDS, placed as a broadcast places it: L+R up to
    // 15 kHz, L-R on 38 kHz locked to the pilot (mono without a pilot), its
    // peaks limited so that the whole multiplex stays within full deviation.
    // None by default: the RDS and pilot alone. The modulator made with these
    // options reads it from the start, looping it: give each its own.
    std::shared_ptr<ProgrammeAudio> programme;
    double preemphasis_us = 50.0;  // of the programme: 50 (Europe), 75 (the Americas), 0 none
};

// Groups to multiplex samples (floats in -1..1), one group after another with
// differential coding carried across calls.
class MpxModulator {
public:
    explicit MpxModulator(const MpxOptions& options);
    ~MpxModulator();
    void modulate(const std::vector<RdsGroup>& groups, std::vector<float>& out);
    // Seconds of filler: bits that make no block (all ones), so that a
    // receiver locks its carrier and bit clock on them before a group.
    void filler(double seconds, std::vector<float>& out);
    double rate() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A whole multiplex: lead_in_s seconds of filler, the groups, a short tail
// of filler (kTailSeconds) so the last group's bits are out. A decoder that
// starts with such a signal yields every group, the first one included,
// bit-exactly (bad blocks with their bad bit and their information word).
// With MpxModulator directly, do the same: filler() before the first group
// (kLeadInSeconds is plenty) and after the last, as each call sends only the
// samples whose pulses are complete (a few bits are held back).
constexpr double kLeadInSeconds = 0.2;
constexpr double kTailSeconds = 0.05;
std::vector<float> make_mpx(const std::vector<RdsGroup>& groups, const MpxOptions& options,
                            double lead_in_s = kLeadInSeconds);

enum class IqFormat { Cu8, Cs16, Cf32 };
bool parse_iq_format(const std::string& text, IqFormat& format);
const char* iq_format_name(IqFormat format);
size_t iq_sample_bytes(IqFormat format);

struct IqOptions {
    double iq_rate = 2400000.0;
    double offset_hz = 0.0;  // the station's carrier relative to the recording's centre
    double deviation_hz = 75000.0;
    double level = 0.5;            // carrier amplitude, of full scale
    std::optional<double> snr_db;  // white noise in the channel (200 kHz)
    double clock_ppm = 0.0;
    uint32_t seed = 1;
};
// FM-modulates a multiplex into IQ in the given raw form.
std::vector<uint8_t> fm_modulate(const std::vector<float>& mpx, double mpx_rate, const IqOptions& options,
                                 IqFormat format);

// ---- The decoder ---------------------------------------------------------------

struct DecoderOptions {
    double rate = 228000.0;  // of the multiplex pushed in
    int max_burst = 2;       // burst errors corrected while synchronised (up to 5)
    bool soft = true;        // soft-decision correction (false: hard bits and bursts only)
};

// Multiplex samples in, groups out, in any chunk sizes. Groups come out only
// while block-synchronised, each block with its bad bit when it failed its
// check (the received bits kept).
class RdsDecoder {
public:
    explicit RdsDecoder(const DecoderOptions& options);
    ~RdsDecoder();
    void push(const float* mpx, size_t count, std::vector<RdsGroup>& groups);
    void reset();
    bool synchronised() const;
    bool pilot() const;     // a 19 kHz pilot is locked (the station is stereo)
    uint64_t bits() const;  // bits decoded since the reset
    uint64_t blocks_received() const;
    uint64_t blocks_failed() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---- The FM front end ---------------------------------------------------------

// Raw IQ bytes to complex samples in -1..1. A trailing partial sample is left.
void iq_to_complex(const uint8_t* raw, size_t bytes, IqFormat format, std::vector<std::complex<float>>& out);

// One station out of an IQ stream: mixed to zero, channel-filtered,
// FM-demodulated and decimated to a multiplex rate of 171 kHz or 228 kHz.
class FmChannel {
public:
    FmChannel(double iq_rate, double offset_hz);
    ~FmChannel();
    void push(const std::complex<float>* iq, size_t count, std::vector<float>& mpx);
    double mpx_rate() const;
    double power_db() const;  // the channel's mean power, dB of full scale, smoothed

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Every channel of an IQ stream at once, from one front end: each block of
// input goes through one forward FFT, and a channel is then the bins around
// its frequency through the channel filter (+-90 kHz) and a small inverse FFT
// (fast convolution, overlap-save). The mixing, filtering and decimation are
// thus shared; a channel costs a 256-point inverse FFT a block. Channels come
// out as complex baseband at channel_rate() (200 kHz and a little more), the
// carrier at 0 Hz, continuous across calls.
class Channelizer {
public:
    explicit Channelizer(double iq_rate);
    ~Channelizer();
    double channel_rate() const;
    // A channel at offset_hz from the centre (inside +-(iq_rate / 2 - 100 kHz));
    // its index in push()'s output.
    size_t add(double offset_hz);
    // Appends to out[i] what channel i gained (out is resized to the channels).
    void push(const std::complex<float>* iq, size_t count, std::vector<std::vector<std::complex<float>>>& out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The polar discriminator of a channel: complex baseband to multiplex
// samples (75 kHz deviation = 1.0), the last sample kept across calls.
class FmDiscriminator {
public:
    explicit FmDiscriminator(double rate) : scale_(rate / (6.283185307179586 * 75000.0)) {}
    void push(const std::complex<float>* in, size_t count, std::vector<float>& mpx);

private:
    double scale_;
    std::complex<float> last_{0, 0};
};

// A multiplex to FM in complex IQ, a piece at a time: resampled to the IQ
// rate, the carrier at offset_hz with the given level (IqOptions' deviation,
// level and offset; its noise and clock error are not applied), phase
// continuous across calls.
class FmModulator {
public:
    FmModulator(double mpx_rate, const IqOptions& options);
    ~FmModulator();
    void push(const float* mpx, size_t count, std::vector<std::complex<float>>& iq);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Power in dBFS of every 100 kHz channel inside the IQ block, by frequency
// relative to the centre (Hz, multiples of 100 kHz).
std::vector<std::pair<int32_t, double>> channel_powers(const std::complex<float>* iq, size_t count, double iq_rate);

// Signal strength 0..63 as the chip reports it, from a channel power.
uint32_t rssi_from_power(double power_db);

// ---- Files ----------------------------------------------------------------------

// A multiplex recording: WAV or FLAC (first channel), or raw signed 16-bit
// little-endian at raw_rate. Null with a reason when it cannot be read.
class MpxFile {
public:
    static std::unique_ptr<MpxFile> open(const std::string& path, std::optional<double> raw_rate,
                                         std::string* error = nullptr);
    virtual ~MpxFile() = default;
    virtual double rate() const = 0;
    // Up to count samples; 0 at the end.
    virtual size_t read(float* out, size_t count) = 0;
    virtual bool rewind() = 0;
};

// The form a multiplex file of so many samples takes: FLAC when the name ends
// in .flac, else a plain 16-bit WAV while its sizes fit a WAV's 32 bits, and
// RF64 (the WAV of 64-bit sizes) for one that would pass 4 GiB.
enum class MpxFormat { Wav, Rf64, Flac };
MpxFormat mpx_format_for(const std::string& path, uint64_t samples);

// A multiplex file written a piece at a time, in the form mpx_format_for
// chooses for the samples expected; a WAV refuses to grow past 4 GiB rather
// than wrap its sizes. Nothing is at the path until finish(): an existing
// file stays as it was after any failure, or when the writer goes unfinished.
class MpxWriter {
public:
    // Null with a reason when it cannot be begun.
    static std::unique_ptr<MpxWriter> create(const std::string& path, double rate, uint64_t expected_samples,
                                             std::string* error = nullptr);
    virtual ~MpxWriter() = default;
    // Samples in -1..1; beyond that they clip. False once a write failed.
    virtual bool write(const float* samples, size_t count, std::string* error = nullptr) = 0;
    // Completes the file and puts it at the path.
    virtual bool finish(std::string* error = nullptr) = 0;
};

// A whole multiplex at once, as MpxWriter writes it.
bool write_mpx(const std::string& path, const std::vector<float>& mpx, double rate, std::string* error = nullptr);

// An IQ recording in raw form.
class IqFile {
public:
    static std::unique_ptr<IqFile> open(const std::string& path, IqFormat format, std::string* error = nullptr);
    virtual ~IqFile() = default;
    virtual size_t read(std::complex<float>* out, size_t count) = 0;
    virtual bool rewind() = 0;
};

}  // namespace fmsim::radio
