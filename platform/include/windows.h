// The device SDK's umbrella header, over the platform layer (libce).
#pragma once

#include "ce_crt.h"
#include "mmsystem.h"
#include "winbase.h"
#include "windef.h"
#include "winerror.h"
#include "winnls.h"
#include "winreg.h"
#include "winuser.h"
