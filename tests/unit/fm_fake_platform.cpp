// A fake of the platform's FM library for the Wavelo tests: it records every
// call, answers as a test tells it (synchronously, on the calling thread) and
// lets the test deliver any event record through the event function Wavelo
// handed to FM_Create. Built as libFMS_API.so in several variants; a variant
// lacking an entry point is made by renaming that function at compile time.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "fms_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#define FAKE_NO_ANSWER 0xFFFFFFFFu
#define FAKE_ECHO 0xFFFFFFFFu  // answer value: the argument of the call

namespace {

struct Answer {
    DWORD command;
    DWORD status;
    DWORD value;
};

struct Fake {
    std::recursive_mutex mutex;
    std::string calls;
    std::map<std::string, DWORD> returns;   // entry point -> return code
    std::map<std::string, Answer> answers;  // entry point -> event 1 answer
    FMS_EVENT_FUNCTION eventFunction = nullptr;
    DWORD createdSession = 0x51;
    DWORD storeSession = 0x51;
    DWORD currentStatus[3] = {0, 0, 0};
    std::string logFile;
};

// Made at the first call, so that at process exit it outlives a Wavelo
// session opened later and closed by Wavelo's own exit hook.
Fake& fake() {
    static Fake f;
    return f;
}

void Deliver(FmPlatformEvent* event) {
    FMS_EVENT_FUNCTION fn;
    {
        std::lock_guard<std::recursive_mutex> lock(fake().mutex);
        fn = fake().eventFunction;
    }
    if (fn) fn(event);
}

void SendStatus(DWORD command, DWORD status, DWORD value) {
    FmPlatformEvent event{};
    event.code = FMS_EVENT_COMMAND_STATUS;
    event.payload.status.command = static_cast<BYTE>(command);
    event.payload.status.status = static_cast<BYTE>(status);
    event.payload.status.value = value;
    Deliver(&event);
}

// Records the call, then answers it if the test asked for an answer.
DWORD Call(const char* name, DWORD session, bool hasSession, const std::string& args, DWORD echo = 0) {
    Answer answer{FAKE_NO_ANSWER, 0, 0};
    DWORD rc = 0;
    {
        Fake& f = fake();
        std::lock_guard<std::recursive_mutex> lock(f.mutex);
        std::string line = name;
        if (hasSession && session != f.createdSession) line += "!session";
        line += "(" + args + ")";
        f.calls += line + "\n";
        if (!f.logFile.empty()) {
            if (FILE* out = std::fopen(f.logFile.c_str(), "a")) {
                std::fprintf(out, "%s\n", line.c_str());
                std::fclose(out);
            }
        }
        auto r = f.returns.find(name);
        if (r != f.returns.end()) rc = r->second;
        auto a = f.answers.find(name);
        if (a != f.answers.end()) answer = a->second;
    }
    if (answer.command != FAKE_NO_ANSWER)
        SendStatus(answer.command, answer.status, answer.value == FAKE_ECHO ? echo : answer.value);
    return rc;
}

std::string Num(long long v) { return std::to_string(v); }

}  // namespace

// ---- the platform's entry points ----------------------------------------------------

FAKE_EXPORT DWORD FM_GetCurrentStatus(DWORD session, DWORD* words) {
    DWORD rc = Call("FM_GetCurrentStatus", session, true, "");
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    if (words) std::memcpy(words, fake().currentStatus, sizeof fake().currentStatus);
    return rc;
}
FAKE_EXPORT DWORD FM_Create(DWORD* creationWord, FMS_EVENT_FUNCTION eventFunction, DWORD* session) {
    DWORD word = creationWord ? *creationWord : 0xDEAD;
    DWORD rc = Call("FM_Create", 0, false, Num(word));
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    fake().eventFunction = eventFunction;
    if (session) *session = fake().storeSession;
    return rc;
}
FAKE_EXPORT DWORD FM_Init() { return Call("FM_Init", 0, false, ""); }
FAKE_EXPORT DWORD FM_Deinit() { return Call("FM_Deinit", 0, false, ""); }
FAKE_EXPORT DWORD FM_Destroy(DWORD s) { return Call("FM_Destroy", s, true, ""); }
FAKE_EXPORT DWORD FM_Enable(DWORD s) { return Call("FM_Enable", s, true, ""); }
FAKE_EXPORT DWORD FM_Disable(DWORD s) { return Call("FM_Disable", s, true, ""); }
FAKE_EXPORT DWORD FM_MuteRadio(DWORD s, DWORD code) { return Call("FM_MuteRadio", s, true, Num(code)); }
FAKE_EXPORT DWORD FM_GetBandMode(DWORD s) { return Call("FM_GetBandMode", s, true, ""); }
FAKE_EXPORT DWORD FM_SetBand(DWORD s, BYTE band) { return Call("FM_SetBand", s, true, Num(band)); }
FAKE_EXPORT DWORD FM_GetDemphMode(DWORD s) { return Call("FM_GetDemphMode", s, true, ""); }
FAKE_EXPORT DWORD FM_SetDeemphasisMode(DWORD s, BYTE mode) { return Call("FM_SetDeemphasisMode", s, true, Num(mode)); }
FAKE_EXPORT DWORD FM_Seek(DWORD s, DWORD stop, DWORD up) { return Call("FM_Seek", s, true, Num(stop) + "," + Num(up)); }
FAKE_EXPORT DWORD FM_RssiSearchLevel(DWORD s, DWORD level) { return Call("FM_RssiSearchLevel", s, true, Num(level)); }
FAKE_EXPORT DWORD FM_GetRSSISearchLevel(DWORD s) { return Call("FM_GetRSSISearchLevel", s, true, ""); }
FAKE_EXPORT DWORD FM_Tune(DWORD s, DWORD f) { return Call("FM_Tune", s, true, Num(f), f); }
FAKE_EXPORT DWORD FM_GetCurrentFreq(DWORD s) { return Call("FM_GetCurrentFreq", s, true, ""); }
FAKE_EXPORT DWORD FM_RssiGet(DWORD s) { return Call("FM_RssiGet", s, true, ""); }
FAKE_EXPORT DWORD FM_SetVolume(DWORD s, SHORT v, DWORD r) {
    return Call("FM_SetVolume", s, true, Num(v) + "," + Num(r));
}
FAKE_EXPORT DWORD FM_GetVolume(DWORD s) { return Call("FM_GetVolume", s, true, ""); }
FAKE_EXPORT DWORD FM_GetMuteMode(DWORD s) { return Call("FM_GetMuteMode", s, true, ""); }
FAKE_EXPORT DWORD FM_GetMoSt(DWORD s) { return Call("FM_GetMoSt", s, true, ""); }
FAKE_EXPORT DWORD FM_SetMoSt(DWORD s, DWORD v) { return Call("FM_SetMoSt", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_SetAudioPath(DWORD s, DWORD v) { return Call("FM_SetAudioPath", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_SetRDS(DWORD s, DWORD on) { return Call("FM_SetRDS", s, true, Num(on)); }
FAKE_EXPORT DWORD FM_SetRdsRbds(DWORD s, DWORD v) { return Call("FM_SetRdsRbds", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_SetPauseDuration(DWORD s, DWORD v) { return Call("FM_SetPauseDuration", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_SetPauseLevel(DWORD s, DWORD v) { return Call("FM_SetPauseLevel", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_GetMostBlend(DWORD s) { return Call("FM_GetMostBlend", s, true, ""); }
FAKE_EXPORT DWORD FM_SetStereoBlend(DWORD s, DWORD v) { return Call("FM_SetStereoBlend", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_GetAFFreq(DWORD s) { return Call("FM_GetAFFreq", s, true, ""); }
FAKE_EXPORT DWORD FM_SetAF(DWORD s, DWORD v) { return Call("FM_SetAF", s, true, Num(v)); }
FAKE_EXPORT DWORD FM_AudioEnable(DWORD s, DWORD on) { return Call("FM_AudioEnable", s, true, Num(on)); }

// ---- the test's controls ---------------------------------------------------------------

FAKE_EXPORT void FakeFms_Reset() {
    Fake& f = fake();
    std::lock_guard<std::recursive_mutex> lock(f.mutex);
    f.calls.clear();
    f.returns.clear();
    f.answers.clear();
    f.createdSession = f.storeSession = 0x51;
    std::memset(f.currentStatus, 0, sizeof f.currentStatus);
    f.logFile.clear();
}
FAKE_EXPORT void FakeFms_SetReturn(const char* entry, DWORD rc) {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    fake().returns[entry] = rc;
}
// The entry point answers at once with a status record; command FAKE_NO_ANSWER
// removes the answer.
FAKE_EXPORT void FakeFms_SetAnswer(const char* entry, DWORD command, DWORD status, DWORD value) {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    if (command == FAKE_NO_ANSWER) fake().answers.erase(entry);
    else fake().answers[entry] = Answer{command, status, value};
}
FAKE_EXPORT void FakeFms_SetCreatedSession(DWORD session) {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    fake().storeSession = session;
    fake().createdSession = session;
}
FAKE_EXPORT void FakeFms_SetCurrentStatus(DWORD w0, DWORD w1, DWORD w2) {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    fake().currentStatus[0] = w0;
    fake().currentStatus[1] = w1;
    fake().currentStatus[2] = w2;
}
FAKE_EXPORT void FakeFms_SetLogFile(const char* path) {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    fake().logFile = path ? path : "";
}
FAKE_EXPORT size_t FakeFms_Calls(char* out, size_t capacity) {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    const std::string& c = fake().calls;
    if (out && capacity) {
        size_t n = c.size() < capacity - 1 ? c.size() : capacity - 1;
        std::memcpy(out, c.data(), n);
        out[n] = 0;
    }
    return c.size();
}
FAKE_EXPORT void FakeFms_ClearCalls() {
    std::lock_guard<std::recursive_mutex> lock(fake().mutex);
    fake().calls.clear();
}
// Delivers a record through Wavelo's event function, on the caller's thread.
FAKE_EXPORT DWORD FakeFms_Inject(FmPlatformEvent* event) {
    FMS_EVENT_FUNCTION fn;
    {
        std::lock_guard<std::recursive_mutex> lock(fake().mutex);
        fn = fake().eventFunction;
    }
    return fn ? fn(event) : 0xFFFFFFFFu;
}
