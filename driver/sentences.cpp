// What the client reads: one $RTTMC sentence or GNS group frame per RDS
// group, the $RTRDS receiver status, the GNS frequency report and the void GPS
// sentence. The driver decodes no TMC itself; every group goes out as it came.
#include <cstdio>
#include <cstring>

#include "driver.h"

void FormatFrequencyText(DWORD frequency, char* out) {
    int n = _snprintf(out, FREQUENCY_TEXT_SIZE, "%d.%01d", static_cast<int>(frequency / 1000),
                      static_cast<int>((frequency % 1000) / 100));
    if (n < 0) out[FREQUENCY_TEXT_SIZE - 1] = 0;
}

void OnRdsGroups(const FmRdsGroup* groups, DWORD count) {
    if (Driver.Threads.ShuttingDown.load(std::memory_order_relaxed)) return;
    if (!groups) return;
    LONG good = 0;
    LONG bad = 0;
    for (DWORD i = 0; i < count; i++) {
        const FmRdsGroup& g = groups[i];
        if (g.errorFlags == 0) good++;
        else bad++;
        int type = (g.blockB & 0xF000) >> 12;
        if (type == 8) Driver.Radio.TmcSeen.store(1, std::memory_order_relaxed);
        if (Driver.Settings.Protocol == PROTOCOL_ROYALTEK) {
            char sentence[64];
            _snprintf(sentence, sizeof(sentence) - 4, "$RTTMC,%d,%04X,%04X,%04X,%04X*", type, g.blockA, g.blockB,
                      g.blockC, g.blockD);
            AddNmeaChecksum(sentence);
            if (Driver.Settings.LogMode & LOG_DATA) LogText(sentence, FALSE, TRUE);
            strcat(sentence, "\r\n");
            AppendOutput(static_cast<DWORD>(strlen(sentence)), sentence, TRUE);
        } else {
            BYTE frame[10] = {0x3F,
                              HIBYTE(g.blockA),
                              LOBYTE(g.blockA),
                              HIBYTE(g.blockB),
                              LOBYTE(g.blockB),
                              HIBYTE(g.blockC),
                              LOBYTE(g.blockC),
                              HIBYTE(g.blockD),
                              LOBYTE(g.blockD),
                              0x3F};
            if (Driver.Settings.LogMode & LOG_DATA) LogHex(u"RDS: ", sizeof(frame), frame, FALSE);
            AppendOutput(sizeof(frame), frame, TRUE);
        }
    }
    if (good == 0) Driver.Radio.RdsQuality.store(0, std::memory_order_relaxed);
    else Driver.Radio.RdsQuality.store(100 - (100 * bad) / (good + bad), std::memory_order_relaxed);
}

void OnFrequencyChange(DWORD frequency) {
    SetFrequencyText(frequency);
    Driver.Radio.Frequency.store(frequency, std::memory_order_relaxed);
    Driver.Radio.SignalLevel.store(0, std::memory_order_relaxed);
    if (Driver.Threads.ShuttingDown.load(std::memory_order_relaxed)) return;
    Driver.Radio.RdsQuality.store(0, std::memory_order_relaxed);
    // The status thread reports the new frequency at once.
    SetEvent(Driver.Threads.TickEvent.load(std::memory_order_relaxed));
    if (Driver.Settings.LogMode & LOG_EVENT) {
        char text[FREQUENCY_TEXT_SIZE];
        GetFrequencyText(text);
        WCHAR line[64];
        _snwprintf(line, 64, u"FREQ Change: %S", text);
        line[63] = 0;
        LogTextW(line, FALSE, TRUE);
    }
}

void EmitRdsStatus() {
    // A failed reading leaves the previous level in place.
    DWORD level = Driver.Radio.SignalLevel.load(std::memory_order_relaxed);
    FMGetProp(Driver.Radio.FmHandle.load(std::memory_order_relaxed), FMPROP_RSSI, &level);
    level /= 2;
    if (level > 15) level = 15;
    Driver.Radio.SignalLevel.store(level, std::memory_order_relaxed);

    char text[FREQUENCY_TEXT_SIZE];
    GetFrequencyText(text);
    char sentence[96];
    _snprintf(sentence, sizeof(sentence) - 4, "$RTRDS,%s,%d,3,2,1,1,1,%03d,255,5,0,51*", text, static_cast<int>(level),
              static_cast<int>(Driver.Radio.RdsQuality.load(std::memory_order_relaxed)));
    AddNmeaChecksum(sentence);
    if (Driver.Settings.LogMode & LOG_DATA) LogText(sentence, FALSE, TRUE);
    strcat(sentence, "\r\n");
    AppendOutput(static_cast<DWORD>(strlen(sentence)), sentence, TRUE);
}

void EmitGnsFrequencyReport() {
    bool scanning = Driver.Gns.GnsScanning.load(std::memory_order_relaxed) != 0;
    DWORD frequency = Driver.Radio.Frequency.load(std::memory_order_relaxed);
    BYTE frame[10] = {
        0x3F, 0x00, 0x00, static_cast<BYTE>(scanning ? 0x66 : 0x46), GnsFrequencyByte(frequency), 0x01, 0x55,
        0x00, 0x00, 0x3F};
    if (Driver.Settings.LogMode & LOG_EVENT) {
        char text[FREQUENCY_TEXT_SIZE];
        GetFrequencyText(text);
        WCHAR line[64];
        _snwprintf(line, 64, scanning ? u"FREQ Scan stop GNS: %S" : u"FREQ Change GNS: %S", text);
        line[63] = 0;
        LogTextW(line, FALSE, TRUE);
    }
    // Only a frequency the client asked for, or the end of its scan, is reported.
    if (Driver.Gns.GnsRequestedFrequency.load(std::memory_order_relaxed) == frequency || scanning) {
        AppendOutput(sizeof(frame), frame, TRUE);
        if (Driver.Settings.LogMode & LOG_DATA) LogHex(u"ANSW:", sizeof(frame), frame, TRUE);
    }
}

void EmitGpsFiller() {
    char sentence[32];
    strcpy(sentence, GPS_FILLER);
    if (Driver.Settings.LogMode & LOG_DATA) LogText(sentence, TRUE, TRUE);
    strcat(sentence, "\r\n");
    AppendOutput(static_cast<DWORD>(strlen(sentence)), sentence, TRUE);
}
