// Tervalon: the RDS-TMC receiver as a serial port. The driver's state is one
// process-wide record, Driver, in named parts; this header declares it and
// the internal functions the driver's files share.
//
// Words that several threads write and read without the output lock are
// atomics with relaxed ordering: plain single-word stores and loads, as the
// driver has always relied on, without the undefined behaviour of a racy
// plain variable.
#pragma once

#include <atomic>
#include <cstdint>

#include "fm_interface.h"
#include "pegdser.h"
#include "regext.h"
#include "tervalon.h"
#include "windows.h"

// ---- the stream interface's types ----------------------------------------------
// A device or open context travels as a pointer-sized word.
typedef DWORD_PTR DEVCONTEXT;

static_assert(IOCTL_SERIAL_PURGE == 0x001B0044, "the purge request's code");

#define TERVALON_EXPORT extern "C" __attribute__((visibility("default")))

TERVALON_EXPORT DEVCONTEXT COM_Init(LPCWSTR activeKey, LPCVOID busContext);
TERVALON_EXPORT BOOL COM_Deinit(DEVCONTEXT device);
TERVALON_EXPORT DEVCONTEXT COM_Open(DEVCONTEXT device, DWORD accessCode, DWORD shareMode);
TERVALON_EXPORT BOOL COM_PreClose(DEVCONTEXT open);
TERVALON_EXPORT BOOL COM_Close(DEVCONTEXT open);
TERVALON_EXPORT DWORD COM_Read(DEVCONTEXT open, LPVOID buffer, DWORD count);
TERVALON_EXPORT DWORD COM_Write(DEVCONTEXT open, LPCVOID buffer, DWORD count);
TERVALON_EXPORT DWORD COM_Seek(DEVCONTEXT open, LONG distance, WORD method);
TERVALON_EXPORT BOOL COM_IOControl(DEVCONTEXT open, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer,
                                   DWORD outSize, PDWORD returned);
TERVALON_EXPORT void COM_PowerDown(DEVCONTEXT device);
TERVALON_EXPORT void COM_PowerUp(DEVCONTEXT device);

// ---- device (device.cpp) --------------------------------------------------------
#define DEVICE_SIGNATURE 8
#define HEADSET_KEY u"System\\State\\Hardware"
#define HEADSET_VALUE u"Headset"
#define HEADSET_USER_DATA 3149
#define WAVE_MSG_HEADSET 1026

struct DriverState;
typedef struct DeviceContext {
    DWORD Signature;
    LONG OpenCount;
    DriverState* State;  // the one record
} DeviceContext;

// The dialects the driver speaks (the Protocol setting).
#define PROTOCOL_ROYALTEK 0  // text: $PSRF commands in, $RTTMC and $RTRDS sentences out
#define PROTOCOL_GNS 1       // binary: byte commands in, 10-byte frames out

#define OUTPUT_SIZE 2048

// The output queue: every byte the client reads, as whole items. Items come
// from the status thread, the FM notification thread, the GPS reader and the
// writing client at once; the lock keeps each item whole, and a reader takes
// bytes in the order they were queued.
class OutputQueue {
public:
    // The lock lives from Create to Destroy (COM_Init to COM_Deinit).
    void Create();
    void Destroy();
    // Queues an item of up to OUTPUT_SIZE bytes (longer ones are cut). With
    // append set it goes behind the unread bytes when it fits; otherwise, or
    // without append, the unread bytes are dropped and the queue restarts
    // with this item alone.
    void Append(const void* bytes, DWORD length, bool append);
    void Reset();
    // Copies out up to count bytes, the oldest first, and returns how many.
    DWORD Take(void* buffer, DWORD count);
    // The unread bytes, read without the lock: a hint that may be stale by
    // the time it is used, never a promise.
    DWORD Pending() const;

private:
    BYTE OutputBuffer[OUTPUT_SIZE] = {};
    std::atomic<DWORD> OutputLength{0};
    std::atomic<DWORD> OutputReadPos{0};
    CRITICAL_SECTION OutputLock = {};
};

// Settings, read once per load by ReadSettings (COM_Init).
struct DriverSettings {
    DWORD Band = 0;
    DWORD Data = 0;
    DWORD Sound = 0;
    DWORD Mute = 0;
    DWORD LogMode = 0;
    DWORD Protocol = PROTOCOL_ROYALTEK;
    WCHAR SettingsKeyPath[MAX_PATH] = {};
};

// The radio and what the status sentences report of it.
struct RadioStatus {
    std::atomic<HANDLE> FmHandle{nullptr};
    DWORD BandLow = 0;
    DWORD BandHigh = 0;
    std::atomic<DWORD> Frequency{90000};  // the Frequency setting, then the live tuned frequency
    // The tuned frequency's text, only through Set/GetFrequencyText.
    std::atomic<uint64_t> FrequencyText[2] = {};
    std::atomic<BYTE> TmcSeen{1};
    LONG SilentTicks = 4;  // the status thread's own
    std::atomic<BYTE> AutoScan{0};
    std::atomic<LONG> RdsQuality{0};
    std::atomic<DWORD> SignalLevel{0};
};

// What the GNS dialect's commands leave behind; cleared at every open.
struct GnsState {
    std::atomic<BYTE> GnsScanning{0};
    std::atomic<DWORD> GnsRequestedFrequency{0};
    std::atomic<DWORD> GnsAppliedFrequency{0};
};

// The driver's threads, the events that wake them and the flag that ends
// them. The threads are kept by handle as well as by id, so that unloading
// can wait until each has really left the driver's code.
struct DriverThreads {
    std::atomic<BYTE> ShuttingDown{0};
    std::atomic<HANDLE> TickEvent{nullptr};
    std::atomic<HANDLE> FmEvent{nullptr};
    HREGNOTIFY HeadsetNotify = nullptr;
    std::atomic<DWORD> TickThreadId{0};
    std::atomic<DWORD> GpsThreadId{0};
    std::atomic<DWORD> NotifyThreadId{0};
    HANDLE TickThread = nullptr;
    HANDLE NotifyThread = nullptr;
    HANDLE GpsThread = nullptr;
};

// The client's side: the one open, the GPS multiplexer port it needs, and the
// event a waiting read sleeps on.
struct PortState {
    std::atomic<BYTE> PortOpen{0};
    // Set while the open is being closed: a waiting COM_Read returns at once
    // and takes nothing, so the bytes stay for the next open.
    std::atomic<BYTE> ReadReleased{0};
    std::atomic<HANDLE> DataReadyEvent{nullptr};
    std::atomic<HANDLE> GpsPort{INVALID_HANDLE_VALUE};
};

// The driver's state: one instance (it serves one device instance and one
// client at a time), in parts. Each field starts with the value it has before
// a load; COM_Init puts the whole record back to that at once (the tests load
// the driver many times in one process) and then reads the settings into it.
// Entry points that are handed the device or open context reach the record
// through it (DeviceContext::State); the driver's threads are handed it when
// they start.
struct DriverState {
    DriverSettings Settings;
    RadioStatus Radio;
    GnsState Gns;
    DriverThreads Threads;
    PortState Port;
    OutputQueue Output;
};
extern DriverState Driver;

// Entry points in progress on client threads; unloading waits for them
// before it deletes the output lock. A call may outlast a load, so the count
// and the event the last call to leave sets (made at the first call) are
// kept beside the record, never reset with it.
extern std::atomic<LONG> ActiveCalls;
HANDLE CallsDoneEvent();
struct ActiveCall {
    ActiveCall() { ActiveCalls.fetch_add(1); }
    ~ActiveCall() {
        if (ActiveCalls.fetch_sub(1) == 1) SetEvent(CallsDoneEvent());
    }
};

// FrequencyText: the tuned frequency as "%d.%01d" MHz, at most 9 characters.
// Written and read as two words so that a reader never sees half a text.
#define FREQUENCY_TEXT_SIZE 10
void SetFrequencyText(DWORD frequency);
void GetFrequencyText(char* out);  // out holds FREQUENCY_TEXT_SIZE bytes

// The settings into the record COM_Init has just reset.
void ReadSettings();
// The context of the current load, null while not loaded.
DeviceContext* LiveDeviceContext();
void OnHeadsetChange(HREGNOTIFY notify, DWORD userData, const PBYTE data, const UINT size);

// ---- output queue (port.cpp) ----------------------------------------------------
#define GPS_MUX_KEY u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer"
#define GPS_MUX_VALUE u"DriverInterface"

void AppendOutput(DWORD length, const void* bytes, BOOL append);
void ResetOutput();

// ---- sentences (sentences.cpp) --------------------------------------------------
#define GPS_FILLER "$GPRMC,,V,,,,,,,,,,N*53"

void FormatFrequencyText(DWORD frequency, char* out);  // out holds FREQUENCY_TEXT_SIZE bytes
void OnRdsGroups(const FmRdsGroup* groups, DWORD count);
void OnFrequencyChange(DWORD frequency);
void EmitRdsStatus();
void EmitGnsFrequencyReport();
void EmitGpsFiller();

// ---- threads (threads.cpp) ------------------------------------------------------
#define GPS_CHUNK 1000
#define GPS_EVENT_MASK 0x81  // EV_RXCHAR | EV_ERR

DWORD StatusThread(LPVOID parameter);
DWORD FmNotifyThread(LPVOID parameter);
DWORD GpsReaderThread(LPVOID parameter);

// The GPS reader's line assembly: passes on whole NMEA lines only, so that
// no other sentence is ever queued inside one. Exposed for the tests.
typedef struct GpsLineBuffer {
    char bytes[GPS_CHUNK + 1];
    DWORD held;
} GpsLineBuffer;
// Takes the n bytes just read behind the held ones; hands every complete
// part to emit (whole lines, or a full buffer without a line end).
void GpsTakeBytes(GpsLineBuffer* line, DWORD n, void (*emit)(const char* bytes, DWORD length));

// ---- commands (commands.cpp) ----------------------------------------------------
#define WRITE_COPY_SIZE 2048
#define FIELD_SIZE 260

// The $PSRF122 field as kHz: decimal MHz, truncated toward zero.
LONG ParseFrequencyField(const char* field);
// A short numeric field as atoi reads it.
int ParseIntField(const char* field);
void RunRoyaltekCommands(char* text);
void RunGnsCommands(const BYTE* bytes, DWORD count);

// ---- log (log.cpp) -------------------------------------------------------------
#define LOG_LINE 2048
#define LOG_DATA 1
#define LOG_EVENT 2
#define LOG_FILE u"\\Tervalon.log"
#define LOG_BACKUP u"\\TervalonBack.log"

void LogText(const char* text, BOOL timed, BOOL lineEnd);
void LogTextW(const WCHAR* text, BOOL timed, BOOL lineEnd);
void LogHex(const WCHAR* label, DWORD length, const BYTE* bytes, BOOL timed);
// Formats a wide line and writes it with LogTextW, always with a line end.
void LogFormatW(BOOL timed, const WCHAR* format, ...);
void RotateLog();

// Handles and addresses in log lines show their low 32 bits, as the
// device's 32-bit addresses read.
inline DWORD LogWord(const void* p) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(p)); }
