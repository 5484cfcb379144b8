// The simulated tuner's test interface: extra exports of libFMS_API.so, all
// prefixed FMSIM_, found with GetProcAddressW like the entry points. They
// shape the delivery for tests of the tuner and of the FM library on it; a
// device's library has none of them, and the system's own code never calls
// them.
#pragma once

#include "windef.h"

extern "C" {
// RDS pieces are between min and max bytes (1..65535); the defaults vary
// them between 1 and 36.
void FMSIM_SetRdsPieces(DWORD min, DWORD max);
// Period of the chip's own frequency reports (event 5) in platform ms; 0 stops them.
void FMSIM_SetReportPeriod(DWORD ms);
// Restores the default delivery.
void FMSIM_Reset(void);
}

typedef void (*PFN_FMSIM_SetRdsPieces)(DWORD, DWORD);
typedef void (*PFN_FMSIM_SetReportPeriod)(DWORD);
typedef void (*PFN_FMSIM_Reset)(void);
