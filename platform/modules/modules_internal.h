// Module services shared inside libce.
#pragma once

#include "windef.h"

namespace ce {

// The program's own module: what GetModuleHandleW(NULL) returns. The loader's
// handle of the main executable, so it is stable for the process's lifetime.
HMODULE program_module();

}  // namespace ce
