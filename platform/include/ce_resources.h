// The record the resource compiler (cerc) writes into every module that has a
// resource script, and the calls its generated code makes to hand the table to
// libce. The system's own code never includes this header: it reads its
// resources with FindResourceW, LoadResource and LoadStringW (winbase.h).
#pragma once

#include <cstddef>

#include "windef.h"

// One resource. Type and name are each an ordinal (the pointer null) or an
// upper-case, zero-terminated name. The data is DWORD-aligned and lives as
// long as the module that holds it.
struct ce_resource_entry {
    const WCHAR* type_name;
    const WCHAR* name;
    WORD type_id;
    WORD name_id;
    DWORD size;
    const void* data;
};

// Called at static initialisation of the module that holds the table. anchor
// is any address inside that module (the generated code passes the table
// itself): it tells libce whose resources these are, the program's or a
// library's. The table must outlive the registration.
void ce_register_resources(const void* anchor, const ce_resource_entry* entries, size_t count);

// Called when that module goes away (its static destructors), so that nothing
// points into an unloaded library.
void ce_unregister_resources(const ce_resource_entry* entries);
