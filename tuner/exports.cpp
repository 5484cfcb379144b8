// The entry points of libFMS_API.so, under the names the FM library binds.
// A build variant leaves one out (FMSIM_OMIT_<name>), for the binding tests
// that meet a platform library lacking it.
#include <cstring>

#include "chip.h"
#include "fms_api.h"
#include "fmsim_control.h"

#define FMS_EXPORT extern "C" __attribute__((visibility("default")))

using fmsim::Chip;

namespace {

Chip& chip() { return Chip::instance(); }

}  // namespace

// Every entry point first honours an injected refusal.
#define REFUSABLE(name)                                       \
    if (DWORD refused = chip().refusal(#name); refused != 0) \
    return refused

#ifndef FMSIM_OMIT_FM_GetCurrentStatus
FMS_EXPORT DWORD FM_GetCurrentStatus(DWORD session, DWORD* words) {
    REFUSABLE(FM_GetCurrentStatus);
    return chip().get_current_status(session, words);
}
#endif
#ifndef FMSIM_OMIT_FM_Create
FMS_EXPORT DWORD FM_Create(DWORD* creationWord, FMS_EVENT_FUNCTION eventFunction, DWORD* session) {
    REFUSABLE(FM_Create);
    return chip().create(creationWord, eventFunction, session);
}
#endif
#ifndef FMSIM_OMIT_FM_Init
FMS_EXPORT DWORD FM_Init(void) {
    REFUSABLE(FM_Init);
    return chip().init();
}
#endif
#ifndef FMSIM_OMIT_FM_Deinit
FMS_EXPORT DWORD FM_Deinit(void) {
    REFUSABLE(FM_Deinit);
    return chip().deinit();
}
#endif
#ifndef FMSIM_OMIT_FM_Destroy
FMS_EXPORT DWORD FM_Destroy(DWORD session) {
    REFUSABLE(FM_Destroy);
    return chip().destroy(session);
}
#endif
#ifndef FMSIM_OMIT_FM_Enable
FMS_EXPORT DWORD FM_Enable(DWORD session) {
    REFUSABLE(FM_Enable);
    return chip().enable(session);
}
#endif
#ifndef FMSIM_OMIT_FM_Disable
FMS_EXPORT DWORD FM_Disable(DWORD session) {
    REFUSABLE(FM_Disable);
    return chip().disable(session);
}
#endif
#ifndef FMSIM_OMIT_FM_MuteRadio
FMS_EXPORT DWORD FM_MuteRadio(DWORD session, DWORD muteCode) {
    REFUSABLE(FM_MuteRadio);
    return chip().mute(session, muteCode);
}
#endif
#ifndef FMSIM_OMIT_FM_GetBandMode
FMS_EXPORT DWORD FM_GetBandMode(DWORD session) {
    REFUSABLE(FM_GetBandMode);
    return chip().get(session, Chip::Getter::Band);
}
#endif
#ifndef FMSIM_OMIT_FM_SetBand
FMS_EXPORT DWORD FM_SetBand(DWORD session, BYTE band) {
    REFUSABLE(FM_SetBand);
    return chip().set_band(session, band);
}
#endif
#ifndef FMSIM_OMIT_FM_GetDemphMode
FMS_EXPORT DWORD FM_GetDemphMode(DWORD session) {
    REFUSABLE(FM_GetDemphMode);
    return chip().get(session, Chip::Getter::Deemphasis);
}
#endif
#ifndef FMSIM_OMIT_FM_SetDeemphasisMode
FMS_EXPORT DWORD FM_SetDeemphasisMode(DWORD session, BYTE mode) {
    REFUSABLE(FM_SetDeemphasisMode);
    return chip().set(session, Chip::Setting::Deemphasis, mode);
}
#endif
#ifndef FMSIM_OMIT_FM_Seek
FMS_EXPORT DWORD FM_Seek(DWORD session, DWORD stop, DWORD upwards) {
    REFUSABLE(FM_Seek);
    return chip().seek(session, stop, upwards);
}
#endif
#ifndef FMSIM_OMIT_FM_RssiSearchLevel
FMS_EXPORT DWORD FM_RssiSearchLevel(DWORD session, DWORD level) {
    REFUSABLE(FM_RssiSearchLevel);
    return chip().set(session, Chip::Setting::SearchLevel, level);
}
#endif
#ifndef FMSIM_OMIT_FM_GetRSSISearchLevel
FMS_EXPORT DWORD FM_GetRSSISearchLevel(DWORD session) {
    REFUSABLE(FM_GetRSSISearchLevel);
    return chip().get(session, Chip::Getter::SearchLevel);
}
#endif
#ifndef FMSIM_OMIT_FM_Tune
FMS_EXPORT DWORD FM_Tune(DWORD session, DWORD frequency) {
    REFUSABLE(FM_Tune);
    return chip().tune(session, frequency);
}
#endif
#ifndef FMSIM_OMIT_FM_GetCurrentFreq
FMS_EXPORT DWORD FM_GetCurrentFreq(DWORD session) {
    REFUSABLE(FM_GetCurrentFreq);
    return chip().get_current_freq(session);
}
#endif
#ifndef FMSIM_OMIT_FM_RssiGet
FMS_EXPORT DWORD FM_RssiGet(DWORD session) {
    REFUSABLE(FM_RssiGet);
    return chip().get_rssi(session);
}
#endif
#ifndef FMSIM_OMIT_FM_SetVolume
FMS_EXPORT DWORD FM_SetVolume(DWORD session, SHORT volume, DWORD reserved) {
    REFUSABLE(FM_SetVolume);
    (void)reserved;
    return chip().set_volume(session, volume);
}
#endif
#ifndef FMSIM_OMIT_FM_GetVolume
FMS_EXPORT DWORD FM_GetVolume(DWORD session) {
    REFUSABLE(FM_GetVolume);
    return chip().get(session, Chip::Getter::Volume);
}
#endif
#ifndef FMSIM_OMIT_FM_GetMuteMode
FMS_EXPORT DWORD FM_GetMuteMode(DWORD session) {
    REFUSABLE(FM_GetMuteMode);
    return chip().get(session, Chip::Getter::Mute);
}
#endif
#ifndef FMSIM_OMIT_FM_GetMoSt
FMS_EXPORT DWORD FM_GetMoSt(DWORD session) {
    REFUSABLE(FM_GetMoSt);
    return chip().get(session, Chip::Getter::Most);
}
#endif
#ifndef FMSIM_OMIT_FM_SetMoSt
FMS_EXPORT DWORD FM_SetMoSt(DWORD session, DWORD mode) {
    REFUSABLE(FM_SetMoSt);
    return chip().set_most(session, mode);
}
#endif
#ifndef FMSIM_OMIT_FM_SetAudioPath
FMS_EXPORT DWORD FM_SetAudioPath(DWORD session, DWORD path) {
    REFUSABLE(FM_SetAudioPath);
    return chip().set_audio_path(session, path);
}
#endif
#ifndef FMSIM_OMIT_FM_SetRDS
FMS_EXPORT DWORD FM_SetRDS(DWORD session, DWORD on) {
    REFUSABLE(FM_SetRDS);
    return chip().set_rds(session, on);
}
#endif
#ifndef FMSIM_OMIT_FM_SetRdsRbds
FMS_EXPORT DWORD FM_SetRdsRbds(DWORD session, DWORD mode) {
    REFUSABLE(FM_SetRdsRbds);
    return chip().set(session, Chip::Setting::RdsRbds, mode);
}
#endif
#ifndef FMSIM_OMIT_FM_SetPauseDuration
FMS_EXPORT DWORD FM_SetPauseDuration(DWORD session, DWORD duration) {
    REFUSABLE(FM_SetPauseDuration);
    return chip().set(session, Chip::Setting::PauseDuration, duration);
}
#endif
#ifndef FMSIM_OMIT_FM_SetPauseLevel
FMS_EXPORT DWORD FM_SetPauseLevel(DWORD session, DWORD level) {
    REFUSABLE(FM_SetPauseLevel);
    return chip().set(session, Chip::Setting::PauseLevel, level);
}
#endif
#ifndef FMSIM_OMIT_FM_GetMostBlend
FMS_EXPORT DWORD FM_GetMostBlend(DWORD session) {
    REFUSABLE(FM_GetMostBlend);
    return chip().get(session, Chip::Getter::Blend);
}
#endif
#ifndef FMSIM_OMIT_FM_SetStereoBlend
FMS_EXPORT DWORD FM_SetStereoBlend(DWORD session, DWORD blend) {
    REFUSABLE(FM_SetStereoBlend);
    return chip().set(session, Chip::Setting::Blend, blend);
}
#endif
#ifndef FMSIM_OMIT_FM_GetAFFreq
FMS_EXPORT DWORD FM_GetAFFreq(DWORD session) {
    REFUSABLE(FM_GetAFFreq);
    return chip().get(session, Chip::Getter::AfFreq);
}
#endif
#ifndef FMSIM_OMIT_FM_SetAF
FMS_EXPORT DWORD FM_SetAF(DWORD session, DWORD af) {
    REFUSABLE(FM_SetAF);
    return chip().set(session, Chip::Setting::Af, af);
}
#endif
#ifndef FMSIM_OMIT_FM_AudioEnable
FMS_EXPORT DWORD FM_AudioEnable(DWORD session, DWORD on) {
    REFUSABLE(FM_AudioEnable);
    return chip().set(session, Chip::Setting::AudioEnable, on);
}
#endif

// ---- the test interface ----------------------------------------------------------

FMS_EXPORT void FMSIM_RefuseEntryPoint(const char* name, DWORD code) {
    if (name) chip().refuse_entry_point(name, code);
}
FMS_EXPORT void FMSIM_SetAnswerDelay(DWORD command, DWORD ms) { chip().set_answer_delay(command, ms); }
FMS_EXPORT void FMSIM_DropAnswers(DWORD command, DWORD count) { chip().drop_answers(command, count); }
FMS_EXPORT void FMSIM_DuplicateAnswers(DWORD command, DWORD count) { chip().duplicate_answers(command, count); }
FMS_EXPORT void FMSIM_SendStatus(DWORD command, DWORD status, DWORD value) {
    FmPlatformEvent e{};
    e.code = FMS_EVENT_COMMAND_STATUS;
    e.payload.status.command = static_cast<BYTE>(command);
    e.payload.status.status = static_cast<BYTE>(status);
    e.payload.status.value = value;
    chip().send_raw(e);
}
FMS_EXPORT void FMSIM_SendEvent(const void* record, DWORD size) {
    FmPlatformEvent e{};
    if (!record) return;
    std::memcpy(&e, record, size < sizeof e ? size : sizeof e);
    chip().send_raw(e);
}
FMS_EXPORT void FMSIM_SetRdsPieces(DWORD min, DWORD max) { chip().set_rds_pieces(min, max); }
FMS_EXPORT void FMSIM_SetReportPeriod(DWORD ms) { chip().set_report_period(ms); }
FMS_EXPORT void FMSIM_GetStats(FmsimStats* stats) {
    if (stats) *stats = chip().stats();
}
FMS_EXPORT void FMSIM_Reset(void) { chip().reset_faults(); }
