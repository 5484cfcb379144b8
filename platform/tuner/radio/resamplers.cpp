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

symsync_rrrf make_half_bit_sync(unsigned k, unsigned m, float beta, unsigned banks) {
    static std::mutex lock;
    static symsync_rrrf design = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    if (!design) design = symsync_rrrf_create_rnyquist(LIQUID_FIRFILT_RRC, k, m, beta, banks);
    return symsync_rrrf_copy(design);
}

}  // namespace fmsim::radio

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FMSIM_RADIO_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(FMSIM_RADIO_LSAN)
// liquid-dsp 1.5.0 loses a few hundred bytes inside the design of every
// multi-stage resampler and symbol synchroniser (the search object of the
// filter design is never freed). Designs are made once per rate here, so the loss is bounded; the
// leak checker is told so, and nothing of ours hides behind it: our own
// resamplers are copies, made and freed by msresamp_*_copy and _destroy.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:msresamp_crcf_create\nleak:msresamp_rrrf_create\nleak:qs1dsearch_create\n";
}
#endif
