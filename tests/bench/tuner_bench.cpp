// Groups per second the simulated tuner generates, packs and delivers.
// Delivery runs the real library with platform time sped up as far as the
// platform clock allows, so the figure is the chip's ceiling, not the air's
// 11.4 groups a second.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "air.h"
#include "ce_platform.h"
#include "rds_group.h"
#include "synthetic.h"
#include "tests/unit/tuner_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::atomic<uint64_t> delivered_bytes{0};

DWORD count_bytes(FmPlatformEvent* e) {
    if (e->code == FMS_EVENT_RDS_DATA) delivered_bytes += e->payload.rds.count;
    return 0;
}

}  // namespace

int main() {
    setenv("CE_TIME_SCALE", "0.0005", 1);
    cetest::TempRoot root;

    // Generated.
    fmsim::SyntheticBroadcaster gen({0xD301, true, 0, 1});
    const int n = 2000000;
    uint64_t sink = 0;
    auto t = Clock::now();
    for (int i = 0; i < n; i++) sink += gen.next().block[3];
    double gen_s = seconds_since(t);

    // Packed.
    std::vector<fmsim::RdsGroup> groups;
    for (int i = 0; i < 4096; i++) groups.push_back(gen.next());
    std::vector<uint8_t> stream;
    stream.reserve(groups.size() * 12);
    t = Clock::now();
    for (int r = 0; r < n / 4096; r++) {
        stream.clear();
        for (const auto& g : groups) fmsim::append_packed(g, stream);
        sink += stream[r % stream.size()];
    }
    double pack_s = seconds_since(t);
    int packed = (n / 4096) * 4096;

    // Delivered through the entry points.
    fmsim::write_station({93000, 40, "synthetic D301 tmc"});
    tunertest::Api api;
    if (!api.load()) {
        std::fprintf(stderr, "tuner_bench: FMS_API.dll not found\n");
        return 1;
    }
    DWORD word = 0, session = 0;
    api.SetReportPeriod(0);
    api.FM_Init();
    api.FM_Create(&word, &count_bytes, &session);
    api.FM_Enable(session);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    api.FM_Tune(session, 93000);
    api.FM_SetRDS(session, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint64_t start_bytes = delivered_bytes;
    t = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double deliver_s = seconds_since(t);
    uint64_t bytes = delivered_bytes - start_bytes;
    api.FM_Destroy(session);
    api.FM_Deinit();

    std::printf("tuner_bench: groups generated  %.0f /s (synthetic TMC station)\n", n / gen_s);
    std::printf("tuner_bench: groups packed     %.0f /s (12-byte layout)\n", packed / pack_s);
    std::printf(
        "tuner_bench: groups delivered  %.0f /s (event 8 through the event function, pieces 1..36 bytes,"
        " time scale %.4f)\n",
        bytes / 12.0 / deliver_s, ce::time_scale());
    std::printf("tuner_bench: real air rate     %.2f groups/s\n", 1187.5 / 104.0);
    return sink == 42 ? 2 : 0;
}
