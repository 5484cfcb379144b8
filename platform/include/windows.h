// The device SDK's umbrella header, over the platform layer (libce).
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"
#include "winnls.h"
#include "winuser.h"
#include "mmsystem.h"
#include "ce_crt.h"
