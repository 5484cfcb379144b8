// Resampler designs, made once per rate and copied.
#include <map>
#include <mutex>

#include "internal.h"

namespace fmsim::radio {

namespace {

// The designs stay for the life of the process: a handful of rates at most.
template <typename Q>
Q copy_of(std::map<float, Q>& designs, float r, Q (*create)(float, float), Q (*copy)(Q)) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    auto it = designs.find(r);
    if (it == designs.end()) it = designs.emplace(r, create(r, 60.0f)).first;
    return copy(it->second);
}

}  // namespace

msresamp_crcf make_resampler_crcf(float r) {
    static std::map<float, msresamp_crcf> designs;
    return copy_of(designs, r, msresamp_crcf_create, msresamp_crcf_copy);
}

msresamp_rrrf make_resampler_rrrf(float r) {
    static std::map<float, msresamp_rrrf> designs;
    return copy_of(designs, r, msresamp_rrrf_create, msresamp_rrrf_copy);
}

}  // namespace fmsim::radio
