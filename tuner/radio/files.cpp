// Sound files, multiplex recordings (WAV, FLAC, raw s16le) and raw IQ recordings.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ce_platform.h"
#include "internal.h"
#include "radio.h"

namespace fmsim::radio {

namespace {

constexpr double kMinMpxRate = 160000.0;
// A multiplex is a few hundred kHz at most; a header that claims more is
// damaged, and the decoder's resampler cannot span such a ratio.
constexpr double kMaxMpxRate = 10e6;

void set_error(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// Only a regular file, opened without blocking and checked on its descriptor:
// a FIFO or a device would block or never end, a folder cannot be read, and
// one swapped in after any earlier look must be refused just the same.
int open_regular(const std::string& path, std::string* error) {
    std::string why;
    int fd = ce::open_regular_file(path, &why);
    if (fd < 0) set_error(error, why);
    return fd;
}

bool ends_with(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
    return true;
}

class SndMpxFile : public MpxFile {
public:
    explicit SndMpxFile(std::unique_ptr<SoundFile> file) : file_(std::move(file)) {}
    double rate() const override { return file_->info().samplerate; }
    size_t read(float* out, size_t count) override {
        if (count == 0) return 0;
        const size_t channels = static_cast<size_t>(file_->info().channels);
        if (channels == 1) return file_->read(out, count);
        frames_.resize(std::min<size_t>(count, 8192) * channels);
        size_t got = file_->read(frames_.data(), frames_.size() / channels);
        for (size_t k = 0; k < got; k++) out[k] = frames_[k * channels];
        return got;
    }
    bool rewind() override { return file_->rewind(); }

private:
    std::unique_ptr<SoundFile> file_;
    std::vector<float> frames_;
};

class RawMpxFile : public MpxFile {
public:
    RawMpxFile(FILE* f, double rate) : file_(f), rate_(rate) {}
    ~RawMpxFile() override { std::fclose(file_); }
    double rate() const override { return rate_; }
    size_t read(float* out, size_t count) override {
        buf_.resize(std::min<size_t>(count, 8192) * 2);
        size_t got = std::fread(buf_.data(), 2, buf_.size() / 2, file_);
        for (size_t k = 0; k < got; k++)
            out[k] = static_cast<float>(static_cast<int16_t>(buf_[2 * k] | buf_[2 * k + 1] << 8)) / 32768.0f;
        return got;
    }
    bool rewind() override { return std::fseek(file_, 0, SEEK_SET) == 0; }

private:
    FILE* file_;
    double rate_;
    std::vector<uint8_t> buf_;
};

class RawIqFile : public IqFile {
public:
    RawIqFile(FILE* f, IqFormat format) : file_(f), format_(format) {}
    ~RawIqFile() override { std::fclose(file_); }
    size_t read(std::complex<float>* out, size_t count) override {
        const size_t step = iq_sample_bytes(format_);
        size_t done = 0;
        while (done < count) {
            size_t want = std::min<size_t>(count - done, 16384);
            raw_.resize(want * step);
            size_t got = std::fread(raw_.data(), step, want, file_);
            if (got == 0) break;
            samples_.clear();
            iq_to_complex(raw_.data(), got * step, format_, samples_);
            std::copy(samples_.begin(), samples_.end(), out + done);
            done += got;
            if (got < want) break;
        }
        return done;
    }
    bool rewind() override { return std::fseek(file_, 0, SEEK_SET) == 0; }

private:
    FILE* file_;
    IqFormat format_;
    std::vector<uint8_t> raw_;
    std::vector<std::complex<float>> samples_;
};

}  // namespace

std::unique_ptr<SoundFile> SoundFile::open(const std::string& path, const char* what, const char* tail,
                                           std::string* error) {
    int fd = open_regular(path, error);
    if (fd < 0) return nullptr;
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!file) {
        ::close(fd);
        set_error(error, path + ": not " + what + " (" + sf_strerror(nullptr) + ")" + tail);
        return nullptr;
    }
    return std::unique_ptr<SoundFile>(new SoundFile(file, fd, info));
}

SoundFile::~SoundFile() {
    sf_close(file_);
    ::close(fd_);
}

size_t SoundFile::read(float* out, size_t frames) {
    sf_count_t got = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
    return got > 0 ? static_cast<size_t>(got) : 0;
}

bool SoundFile::rewind() { return sf_seek(file_, 0, SEEK_SET) == 0; }

std::unique_ptr<MpxFile> MpxFile::open(const std::string& path, std::optional<double> raw_rate, std::string* error) {
    if (raw_rate) {
        if (!(*raw_rate >= kMinMpxRate)) {
            set_error(error, path + ": a multiplex needs a rate of at least 160 kHz (the RDS subcarrier is at 57 kHz)");
            return nullptr;
        }
        if (*raw_rate > kMaxMpxRate) {
            set_error(error, path + ": a multiplex rate is at most 10 MHz");
            return nullptr;
        }
        int fd = open_regular(path, error);
        if (fd < 0) return nullptr;
        FILE* f = ::fdopen(fd, "rb");
        if (!f) {
            set_error(error, path + ": " + std::strerror(errno));
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<RawMpxFile>(f, *raw_rate);
    }
    auto sound = SoundFile::open(path, "a WAV or FLAC file", "; a raw s16le recording needs its rate", error);
    if (!sound) return nullptr;
    const SF_INFO info = sound->info();
    std::unique_ptr<MpxFile> file = std::make_unique<SndMpxFile>(std::move(sound));
    if (info.channels < 1 || info.samplerate < kMinMpxRate) {
        set_error(error, path + ": sample rate " + std::to_string(info.samplerate) +
                             " Hz is too low for a multiplex (at least 160 kHz: the RDS subcarrier is at 57 kHz)");
        return nullptr;
    }
    if (info.samplerate > kMaxMpxRate) {
        set_error(error, path + ": sample rate " + std::to_string(info.samplerate) +
                             " Hz is not a multiplex's (at most 10 MHz)");
        return nullptr;
    }
    return file;
}

namespace {

// The samples of 16 bits a WAV's 32-bit sizes can count, its header included.
constexpr uint64_t kWavMaxSamples = (0xFFFFFFFFull - 4096) / 2;

class SndMpxWriter : public MpxWriter {
public:
    ~SndMpxWriter() override {
        if (file_) sf_close(file_);
    }

    bool begin(const std::string& path, double rate, uint64_t expected_samples, std::string* error) {
        path_ = path;
        format_ = mpx_format_for(path, expected_samples);
        if (!out_.open(path, error)) return false;
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = 1;
        info.format = SF_FORMAT_PCM_16 | (format_ == MpxFormat::Flac   ? SF_FORMAT_FLAC
                                          : format_ == MpxFormat::Rf64 ? SF_FORMAT_RF64
                                                                       : SF_FORMAT_WAV);
        file_ = sf_open_fd(out_.fd(), SFM_WRITE, &info, SF_FALSE);
        if (!file_) {
            set_error(error, path + ": " + sf_strerror(nullptr));
            return false;
        }
        // Should the expected size be an overestimate, a file that ends
        // under 4 GiB is still written as a WAV.
        if (format_ == MpxFormat::Rf64) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
        // A sample beyond full scale would wrap around in 16 bits.
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        return true;
    }

    bool write(const float* samples, size_t count, std::string* error) override {
        if (!file_) {
            set_error(error, path_ + ": cannot be written");
            return false;
        }
        written_ += count;
        if (format_ == MpxFormat::Wav && written_ > kWavMaxSamples) return stop(error, "more than a WAV holds (4 GiB)");
        if (sf_write_float(file_, samples, static_cast<sf_count_t>(count)) != static_cast<sf_count_t>(count))
            return stop(error, sf_strerror(file_));
        return true;
    }

    bool finish(std::string* error) override {
        if (!file_) {
            set_error(error, path_ + ": cannot be written");
            return false;
        }
        // The close writes the header's sizes.
        int closed = sf_close(file_);
        file_ = nullptr;
        if (closed != 0) {
            set_error(error, path_ + ": the file cannot be completed (" + sf_error_number(closed) + ")");
            return false;
        }
        return out_.commit(error);
    }

private:
    bool stop(std::string* error, const std::string& why) {
        set_error(error, path_ + ": " + why);
        sf_close(file_);
        file_ = nullptr;
        return false;
    }

    std::string path_;
    MpxFormat format_ = MpxFormat::Wav;
    ce::ReplacementFile out_;
    SNDFILE* file_ = nullptr;
    uint64_t written_ = 0;
};

}  // namespace

MpxFormat mpx_format_for(const std::string& path, uint64_t samples) {
    if (ends_with(path, ".flac")) return MpxFormat::Flac;
    return samples <= kWavMaxSamples ? MpxFormat::Wav : MpxFormat::Rf64;
}

std::unique_ptr<MpxWriter> MpxWriter::create(const std::string& path, double rate, uint64_t expected_samples,
                                             std::string* error) {
    auto writer = std::make_unique<SndMpxWriter>();
    if (!writer->begin(path, rate, expected_samples, error)) return nullptr;
    return writer;
}

bool write_mpx(const std::string& path, const std::vector<float>& mpx, double rate, std::string* error) {
    auto writer = MpxWriter::create(path, rate, mpx.size(), error);
    return writer && writer->write(mpx.data(), mpx.size(), error) && writer->finish(error);
}

std::unique_ptr<IqFile> IqFile::open(const std::string& path, IqFormat format, std::string* error) {
    int fd = open_regular(path, error);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        set_error(error, path + ": " + std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<RawIqFile>(f, format);
}

}  // namespace fmsim::radio
