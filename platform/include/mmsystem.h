// Wave output services of the device's audio system (mmsystem.h).
#pragma once

#include "windef.h"

typedef UINT MMRESULT;
struct HWAVEOUT__;
typedef HWAVEOUT__* HWAVEOUT;

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_INVALPARAM 11
#define WAVE_MAPPER (static_cast<UINT>(-1))

UINT waveOutGetNumDevs();
// The device id travels in the handle's place, as the device's audio driver takes it.
MMRESULT waveOutMessage(HWAVEOUT waveOut, UINT message, DWORD_PTR param1, DWORD_PTR param2);
MMRESULT waveOutGetVolume(HWAVEOUT waveOut, LPDWORD volume);
MMRESULT waveOutSetVolume(HWAVEOUT waveOut, DWORD volume);

// Makes the audio system take its volume settings again from the registry.
void AudioUpdateFromRegistry();
