// Power manager requests of the device (pm.h).
#pragma once

#include "windef.h"

#define PPN_REEVALUATESTATE 0x0001
#define PPN_POWERCHANGE 0x0002
#define PPN_UNATTENDEDMODE 0x0003
#define PPN_SUSPENDKEYPRESSED 0x0004
#define PPN_APPBUTTONPRESSED 0x0006

BOOL PowerPolicyNotify(DWORD message, DWORD data);
