// Wavelo over the simulated tuner: a real recording on the air, RDS at 100
// times the real group rate, the caller fetching and tuning meanwhile.
#include <atomic>
#include <cstdio>
#include <thread>

#include "air.h"
#include "fm_test_support.h"
#include "fmsim_control.h"
#include "recording.h"

using namespace fmtest;

namespace {

constexpr DWORD kCaptureStation = 90000;
constexpr DWORD kSyntheticStation = 95000;

class FmTuner : public FmTest {
protected:
    bool UseFake() const override { return false; }

    void PutOnAir(DWORD frequency, const std::string& source, DWORD rssi = 40) {
        fmsim::Station station;
        station.frequency = frequency;
        station.rssi = rssi;
        station.source = source;
        ASSERT_EQ(fmsim::write_station(station), 0L);
    }

    // A control of the simulated tuner, from the library Wavelo loaded.
    template <class T>
    T Sim(const char16_t* name) {
        HMODULE module = LoadLibraryW(u"FMS_API.dll");
        EXPECT_NE(module, nullptr);
        auto fn = reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddressW(module, name)));
        FreeLibrary(module);  // Wavelo keeps it loaded
        return fn;
    }

    // Everything queued so far, fetched; RDS groups appended in order.
    void Drain(std::vector<FmRdsGroup>& groups, std::vector<FmNotification>* frequencies = nullptr) {
        while (FmNotification* n = Next()) {
            if (n->kind == FMNOTIFY_RDS) {
                const auto* g = reinterpret_cast<const FmRdsGroup*>(n->data);
                groups.insert(groups.end(), g, g + n->value);
            } else if (frequencies) {
                frequencies->push_back(*n);
            }
        }
    }
};

DWORD FlagsOf(const fmsim::RdsGroup& g) {
    return ((g.bad & 1) ? FMRDS_ERROR_A : 0) | ((g.bad & 2) ? FMRDS_ERROR_B : 0) | ((g.bad & 4) ? FMRDS_ERROR_C : 0);
}

bool Same(const FmRdsGroup& got, const fmsim::RdsGroup& sent) {
    return got.blockA == sent.block[0] && got.blockB == sent.block[1] && got.blockC == sent.block[2] &&
           got.blockD == sent.block[3] && got.errorFlags == FlagsOf(sent);
}

// Whether `got` is the looped recording from some start on, where only groups
// with a bad block A, or next to one, may be missing.
bool FollowsRecording(const std::vector<FmRdsGroup>& got, const std::vector<fmsim::RdsGroup>& sent, std::string* why) {
    const size_t n = sent.size();
    auto goodA = [&](size_t i) { return (sent[i % n].bad & 1) == 0; };
    std::string last;
    for (size_t start = 0; start < n; ++start) {
        if (!Same(got[0], sent[start])) continue;
        size_t i = start, j = 0;
        bool ok = true;
        while (j < got.size() && ok) {
            const bool required = goodA(i) && goodA(i + n - 1) && goodA(i + 1);
            if (Same(got[j], sent[i % n])) {
                ++j;
            } else if (required) {
                ok = false;
                char text[160];
                std::snprintf(text, sizeof text,
                              "group %zu (%04X %04X %04X %04X flags %04X) received where recording line %zu was due", j,
                              got[j].blockA, got[j].blockB, got[j].blockC, got[j].blockD,
                              static_cast<unsigned>(got[j].errorFlags), i % n);
                last = text;
            }
            ++i;
            if (i - start > 3 * got.size() + n) ok = false;
        }
        if (ok) return true;
    }
    *why = last.empty() ? "the first group received is not in the recording" : last;
    return false;
}

TEST_F(FmTuner, EveryGroupOfTheRecordingArrivesInOrder) {
    CE_REQUIRE_CAPTURE(capture, "dk-9602-tmc.spy");
    auto recording = fmsim::load_recording(capture.string());
    ASSERT_TRUE(recording && !recording->groups.empty());
    const auto& sent = recording->groups;
    PutOnAir(kCaptureStation, "capture " + capture.string());

    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(fm.FMRegisterEvent(h, event), 0u);
    ASSERT_EQ(fm.FMPowerOn(h, 1, 0), 0u);
    // The chip's own frequency reports would flush the queue like any other
    // frequency notification; this test is about the RDS road alone.
    auto setReportPeriod = Sim<PFN_FMSIM_SetReportPeriod>(u"FMSIM_SetReportPeriod");
    ASSERT_NE(setReportPeriod, nullptr);
    setReportPeriod(0);
    ASSERT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, kCaptureStation), 0u);

    // From the tune's notification on, everything belongs to the station.
    std::vector<FmRdsGroup> groups;
    std::vector<FmNotification> frequencies;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (frequencies.empty() && std::chrono::steady_clock::now() < deadline) {
        WaitForSingleObject(event, 100);
        groups.clear();
        Drain(groups, &frequencies);
    }
    ASSERT_FALSE(frequencies.empty()) << "no tune notification";
    EXPECT_EQ(frequencies.back().value, kCaptureStation);
    EXPECT_EQ(frequencies.back().data, FMFREQ_TUNED);

    // A little more than one pass of the recording.
    while (groups.size() < sent.size() + 100 && std::chrono::steady_clock::now() < deadline) {
        WaitForSingleObject(event, 100);
        Drain(groups);
    }
    ASSERT_GE(groups.size(), sent.size() + 100) << "the recording did not come through within the bound";
    std::string why;
    EXPECT_TRUE(FollowsRecording(groups, sent, &why)) << why;
    for (const auto& g : groups) ASSERT_EQ(g.size, 16u);
    CloseHandle(event);
}

TEST_F(FmTuner, FetchingAndTuningWhileRdsFloodsIn) {
    CE_REQUIRE_CAPTURE(capture, "dk-9602-tmc.spy");
    PutOnAir(kCaptureStation, "capture " + capture.string());
    PutOnAir(kSyntheticStation, "synthetic D318 tmc");

    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(fm.FMRegisterEvent(h, event), 0u);
    ASSERT_EQ(fm.FMPowerOn(h, 1, 0), 0u);
    ASSERT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, kCaptureStation), 0u);

    // The driver's notification thread: one record per wake-up.
    std::atomic<bool> stop{false};
    std::atomic<long> rdsGroups{0}, tunes{0}, foreign{0};
    std::thread consumer([&] {
        while (!stop.load()) {
            WaitForSingleObject(event, 20);
            FmNotification* n = nullptr;
            if (fm.FMGetNotification(h, &n) != 0 || !n) continue;
            if (n->kind == FMNOTIFY_RDS) {
                const auto* g = reinterpret_cast<const FmRdsGroup*>(n->data);
                for (DWORD k = 0; k < n->value; ++k) {
                    if (g[k].size != 16 || (g[k].blockA != 0x9602 && g[k].blockA != 0xD318)) foreign.fetch_add(1);
                }
                rdsGroups.fetch_add(n->value);
            } else if (n->kind == FMNOTIFY_FREQUENCY) {
                tunes.fetch_add(1);
            } else {
                foreign.fetch_add(1);
            }
        }
    });

    // The status thread and the client: tuning, seeking, reading the signal.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int round = 0;
    while (std::chrono::steady_clock::now() < until) {
        DWORD target = (round++ % 2) ? kSyntheticStation : kCaptureStation;
        EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, target), 0u);
        Sleep(300);  // 300 platform ms: a few groups of each station
        DWORD rssi = 0;
        fm.FMGetProp(h, FMPROP_RSSI, &rssi);
        if (round % 5 == 0) fm.FMSeek(h, FMSEEK_UP);
    }
    stop.store(true);
    consumer.join();
    EXPECT_EQ(foreign.load(), 0) << "every group is whole and from a station on the air";
    EXPECT_GT(rdsGroups.load(), 100);
    EXPECT_GT(tunes.load(), 2);
    CloseHandle(event);
}

}  // namespace

namespace {

// Muting reads back as set on the simulated chip: its mute query answers the
// state (nonzero for muted), not the code this device family mutes with.
TEST_F(FmTuner, MuteReadsBackAsSet) {
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(fm.FMPowerOn(h, 1, 0), 0u);
    for (DWORD wanted : {1u, 0u, 1u}) {
        ASSERT_EQ(fm.FMSetProp(h, FMPROP_MUTE, wanted), 0u);
        // The library takes any answer as the one it waits for: let the chip
        // answer the setting before asking.
        Sleep(500);
        DWORD read = 99;
        ASSERT_EQ(fm.FMGetProp(h, FMPROP_MUTE, &read), 0u);
        EXPECT_EQ(read, wanted);
    }
    Close();
}

}  // namespace
