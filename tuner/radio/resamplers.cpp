// Resampler designs, made once per rate and copied.
#include <dlfcn.h>

#include <map>
#include <mutex>

#include "internal.h"

namespace fmsim::radio {

namespace {

// liquid-dsp keeps a little memory from every resampler design it makes
// (1.5.0 never frees the search object of the design). Once loaded it stays
// mapped: a tuner library that is loaded and unloaded again and again reuses
// it instead of mapping it afresh, and what it kept can still be named (by
// the leak checker, by a debugger) after the tuner has gone.
void keep_liquid_loaded() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info liquid{}, ours{};
        if (!dladdr(reinterpret_cast<void*>(&msresamp_crcf_create), &liquid) || !liquid.dli_fname) return;
        // Linked in statically: it goes with this library, nothing to keep.
        if (dladdr(reinterpret_cast<void*>(&keep_liquid_loaded), &ours) && ours.dli_fbase == liquid.dli_fbase) return;
        dlopen(liquid.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

// The designs of one kind, by rate, for the life of the library: a handful of
// rates at most. They are destroyed with it, so a tuner library that is
// loaded and unloaded again and again leaves nothing behind.
template <typename Q>
struct Designs {
    using Create = Q (*)(float, float);
    using Copy = Q (*)(Q);
    using Destroy = int (*)(Q);
    Create create;
    Copy copy;
    Destroy destroy;
    std::mutex lock;
    std::map<float, Q> by_rate;

    Designs(Create c, Copy cp, Destroy d) : create(c), copy(cp), destroy(d) {}
    ~Designs() {
        for (auto& [rate, q] : by_rate) destroy(q);
    }
    Q copy_of(float r) {
        keep_liquid_loaded();
        std::lock_guard<std::mutex> hold(lock);
        auto it = by_rate.find(r);
        if (it == by_rate.end()) it = by_rate.emplace(r, create(r, 60.0f)).first;
        return copy(it->second);
    }
};

struct SyncDesign {
    std::mutex lock;
    symsync_rrrf design = nullptr;
    ~SyncDesign() {
        if (design) symsync_rrrf_destroy(design);
    }
};

}  // namespace

msresamp_crcf make_resampler_crcf(float r) {
    static Designs<msresamp_crcf> designs(msresamp_crcf_create, msresamp_crcf_copy, msresamp_crcf_destroy);
    return designs.copy_of(r);
}

msresamp_rrrf make_resampler_rrrf(float r) {
    static Designs<msresamp_rrrf> designs(msresamp_rrrf_create, msresamp_rrrf_copy, msresamp_rrrf_destroy);
    return designs.copy_of(r);
}

symsync_rrrf make_half_bit_sync(unsigned k, unsigned m, float beta, unsigned banks) {
    static SyncDesign sync;
    keep_liquid_loaded();
    std::lock_guard<std::mutex> hold(sync.lock);
    if (!sync.design) sync.design = symsync_rrrf_create_rnyquist(LIQUID_FIRFILT_RRC, k, m, beta, banks);
    return symsync_rrrf_copy(sync.design);
}

}  // namespace fmsim::radio
