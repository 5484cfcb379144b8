// The entry points of libFMS_API.so, under the names the FM library binds,
// and the few FMSIM_ calls its consumers' tests shape the delivery with.
#include "chip.h"
#include "fms_api.h"
#include "fmsim_control.h"

#define FMS_EXPORT extern "C" __attribute__((visibility("default")))

using fmsim::Chip;

namespace {

Chip& chip() { return Chip::instance(); }

}  // namespace

FMS_EXPORT DWORD FM_GetCurrentStatus(DWORD session, DWORD* words) { return chip().get_current_status(session, words); }
FMS_EXPORT DWORD FM_Create(DWORD* creationWord, FMS_EVENT_FUNCTION eventFunction, DWORD* session) {
    return chip().create(creationWord, eventFunction, session);
}
FMS_EXPORT DWORD FM_Init(void) { return chip().init(); }
FMS_EXPORT DWORD FM_Deinit(void) { return chip().deinit(); }
FMS_EXPORT DWORD FM_Destroy(DWORD session) { return chip().destroy(session); }
FMS_EXPORT DWORD FM_Enable(DWORD session) { return chip().enable(session); }
FMS_EXPORT DWORD FM_Disable(DWORD session) { return chip().disable(session); }
FMS_EXPORT DWORD FM_MuteRadio(DWORD session, DWORD muteCode) { return chip().mute(session, muteCode); }
FMS_EXPORT DWORD FM_GetBandMode(DWORD session) { return chip().get(session, Chip::Getter::Band); }
FMS_EXPORT DWORD FM_SetBand(DWORD session, BYTE band) { return chip().set_band(session, band); }
FMS_EXPORT DWORD FM_GetDemphMode(DWORD session) { return chip().get(session, Chip::Getter::Deemphasis); }
FMS_EXPORT DWORD FM_SetDeemphasisMode(DWORD session, BYTE mode) {
    return chip().set(session, Chip::Setting::Deemphasis, mode);
}
FMS_EXPORT DWORD FM_Seek(DWORD session, DWORD stop, DWORD upwards) { return chip().seek(session, stop, upwards); }
FMS_EXPORT DWORD FM_RssiSearchLevel(DWORD session, DWORD level) {
    return chip().set(session, Chip::Setting::SearchLevel, level);
}
FMS_EXPORT DWORD FM_GetRSSISearchLevel(DWORD session) { return chip().get(session, Chip::Getter::SearchLevel); }
FMS_EXPORT DWORD FM_Tune(DWORD session, DWORD frequency) { return chip().tune(session, frequency); }
FMS_EXPORT DWORD FM_GetCurrentFreq(DWORD session) { return chip().get_current_freq(session); }
FMS_EXPORT DWORD FM_RssiGet(DWORD session) { return chip().get_rssi(session); }
FMS_EXPORT DWORD FM_SetVolume(DWORD session, SHORT volume, DWORD reserved) {
    (void)reserved;
    return chip().set_volume(session, volume);
}
FMS_EXPORT DWORD FM_GetVolume(DWORD session) { return chip().get(session, Chip::Getter::Volume); }
FMS_EXPORT DWORD FM_GetMuteMode(DWORD session) { return chip().get(session, Chip::Getter::Mute); }
FMS_EXPORT DWORD FM_GetMoSt(DWORD session) { return chip().get(session, Chip::Getter::Most); }
FMS_EXPORT DWORD FM_SetMoSt(DWORD session, DWORD mode) { return chip().set_most(session, mode); }
FMS_EXPORT DWORD FM_SetAudioPath(DWORD session, DWORD path) { return chip().set_audio_path(session, path); }
FMS_EXPORT DWORD FM_SetRDS(DWORD session, DWORD on) { return chip().set_rds(session, on); }
FMS_EXPORT DWORD FM_SetRdsRbds(DWORD session, DWORD mode) { return chip().set(session, Chip::Setting::RdsRbds, mode); }
FMS_EXPORT DWORD FM_SetPauseDuration(DWORD session, DWORD duration) {
    return chip().set(session, Chip::Setting::PauseDuration, duration);
}
FMS_EXPORT DWORD FM_SetPauseLevel(DWORD session, DWORD level) {
    return chip().set(session, Chip::Setting::PauseLevel, level);
}
FMS_EXPORT DWORD FM_GetMostBlend(DWORD session) { return chip().get(session, Chip::Getter::Blend); }
FMS_EXPORT DWORD FM_SetStereoBlend(DWORD session, DWORD blend) {
    return chip().set(session, Chip::Setting::Blend, blend);
}
FMS_EXPORT DWORD FM_GetAFFreq(DWORD session) { return chip().get(session, Chip::Getter::AfFreq); }
FMS_EXPORT DWORD FM_SetAF(DWORD session, DWORD af) { return chip().set(session, Chip::Setting::Af, af); }
FMS_EXPORT DWORD FM_AudioEnable(DWORD session, DWORD on) { return chip().set(session, Chip::Setting::AudioEnable, on); }

// ---- the test interface ----------------------------------------------------------

FMS_EXPORT void FMSIM_SetRdsPieces(DWORD min, DWORD max) { chip().set_rds_pieces(min, max); }
FMS_EXPORT void FMSIM_SetReportPeriod(DWORD ms) { chip().set_report_period(ms); }
FMS_EXPORT void FMSIM_Reset(void) { chip().reset_delivery(); }
