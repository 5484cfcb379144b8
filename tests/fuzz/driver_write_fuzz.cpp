// COM_Write with any bytes, in both dialects, at any length up to 64 KiB.
// Input: byte 0 chooses the dialect (bit 0: GNS), a 64 KiB write made by
// repeating the rest (bit 1) and the full log (bit 2); the rest is written.
// Whatever the commands queue is read back, so the answers and the queue's
// overflow run too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "driver.h"
#include "driver_fake_fm.h"
#include "driver_null_port.h"
#include "kobject.h"

namespace {

DEVCONTEXT g_open = 0;

void Setup() {
    // The commands' pauses (up to 2500 ms) shrink to about a millisecond.
    setenv("CE_TIME_SCALE", "0.0005", 1);
    char dir[] = "/tmp/tervalon-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    ce::set_root(dir);
    drivertest::UseNullGpsPort();
    // Loaded without a radio, so that no driver thread runs and every input
    // reproduces; the commands then reach the fake radio through its session.
    fakefm::set_no_radio(true);
    DEVCONTEXT device = COM_Init(u"Drivers\\Active\\01", nullptr);
    if (!device) std::abort();
    fakefm::set_no_radio(false);
    Driver.Radio.FmHandle = FMOpen(0);
    FMPowerOn(Driver.Radio.FmHandle, 1, 2);
    Driver.Radio.BandLow = 76000;
    Driver.Radio.BandHigh = 108000;
    g_open = COM_Open(device, GENERIC_READ | GENERIC_WRITE, 0);
    if (!g_open) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (Setup(), true);
    (void)ready;
    if (size == 0) return 0;
    uint8_t mode = data[0];
    std::vector<uint8_t> write(data + 1, data + size);
    if ((mode & 2) && !write.empty()) {
        std::vector<uint8_t> tiled;
        tiled.reserve(65536);
        while (tiled.size() < 65536) tiled.insert(tiled.end(), write.begin(), write.end());
        tiled.resize(65536);
        write.swap(tiled);
    }
    if (write.size() > 65536) write.resize(65536);
    Driver.Settings.Protocol = mode & 1;
    Driver.Settings.LogMode = (mode & 4) ? 3 : 0;
    DWORD accepted = COM_Write(g_open, write.data(), static_cast<DWORD>(write.size()));
    if (accepted != write.size()) std::abort();
    // Read back whatever was queued; the queue never holds more than it can.
    // (A read position past the end would show as a huge count.)
    if (Driver.Output.Pending() > OUTPUT_SIZE) std::abort();
    char buffer[4096];
    while (Driver.Output.Pending() != 0) COM_Read(g_open, buffer, sizeof(buffer));
    if (Driver.Settings.LogMode) DeleteFileW(LOG_FILE);
    fakefm::clear_calls();
    return 0;
}
