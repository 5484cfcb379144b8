// Where IQ comes from: a receiver front end that can be moved over the band.
// The real one is an RTL-SDR dongle (librtlsdr); a recording stands in for it
// in tests and for the iq band. The rest of the tuner sees this interface
// only, never librtlsdr.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "air.h"

namespace fmsim {

class IqDevice {
public:
    virtual ~IqDevice() = default;
    virtual double rate() const = 0;
    virtual uint64_t center() const = 0;
    virtual bool set_center(uint64_t hz) = 0;
    virtual bool set_gain(std::optional<double> db) = 0;  // none: automatic
    // Blocks until count samples have come; fewer (0) only when the device
    // failed or the recording cannot be read.
    virtual size_t read(std::complex<float>* out, size_t count) = 0;
    // A recording: how often it started over (a whole pass without a group
    // means the station sends none). A dongle never does.
    virtual uint64_t passes() const { return 0; }
    // A dongle (or what stands in for one): samples come at their own pace
    // and are lost when nobody reads them.
    virtual bool live() const = 0;
};

// The sample rate the dongle runs at: low enough to keep the CPU quiet, wide
// enough for a channel and its neighbours.
constexpr uint32_t kRtlRate = 1024000;
// Where a tuned station sits relative to the dongle's centre, away from the
// spike its mixer leaves at 0 Hz.
constexpr int32_t kRtlStationOffset = -250000;

// An IQ recording as a fixed receiver at its own centre, looped.
std::unique_ptr<IqDevice> open_iq_recording(const BandPlan& band, std::string* error = nullptr);

// The dongle the band names. With FMSIM_RTL_FAKE in the environment ("iq
// PATH center HZ rate HZ format F", as an iq band), a recording stands in for
// it: moving its centre shifts what it plays as a retune would, and it plays
// at the rate of the platform clock.
std::unique_ptr<IqDevice> open_rtl(const BandPlan& band, std::string* error = nullptr);
// Whether the dongle is attached (without opening it); its name when it is.
bool rtl_present(uint32_t index, std::string* name = nullptr);

}  // namespace fmsim
