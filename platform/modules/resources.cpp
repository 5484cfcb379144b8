// Resources: the resource compiler (cerc) turns a module's resource script
// into constant tables inside the module, which register here at static
// initialisation. Each registration belongs to a module: the program's, or a
// shared library's, told apart by where its table lies (dl_iterate_phdr).
// A library's registration learns its module handle, the one LoadLibraryW
// returned, lazily at the first lookup that asks for a library: by then the
// loader has finished with it, and asking it earlier, from inside the
// library's own constructors, would mean calling back into the loader.
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ce_resources.h"
#include "ce_trace.h"
#include "modules/modules_internal.h"
#include "text/text_internal.h"
#include "windows.h"

namespace ce {

namespace {

struct Registration {
    const ce_resource_entry* entries = nullptr;
    size_t count = 0;
    bool in_program = false;
    std::string object;        // the library's file, as the loader names it
    HMODULE handle = nullptr;  // the library's handle, once known
};

std::mutex registry_mutex;
std::vector<Registration>& registrations() {
    static auto* table = new std::vector<Registration>;  // outlives static destructors
    return *table;
}

struct Locate {
    uintptr_t address = 0;
    int index = 0;
    bool found = false;
    bool in_program = false;
    std::string object;
};

// The loader lists the program first, then the libraries.
int locate_object(dl_phdr_info* info, size_t, void* data) {
    auto* q = static_cast<Locate*>(data);
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (q->address >= start && q->address < start + ph.p_memsz) {
            q->found = true;
            q->in_program = q->index == 0;
            q->object = info->dlpi_name ? info->dlpi_name : "";
            return 1;
        }
    }
    q->index++;
    return 0;
}

// Gives every library registration its handle. The loader is asked outside
// registry_mutex: a library being loaded meanwhile registers (under that
// mutex) while the loader holds its own lock.
void resolve_library_handles() {
    std::vector<std::pair<const ce_resource_entry*, std::string>> pending;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        for (const auto& r : registrations())
            if (!r.in_program && !r.handle && !r.object.empty()) pending.emplace_back(r.entries, r.object);
    }
    for (const auto& [entries, object] : pending) {
        void* handle = ::dlopen(object.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!handle) continue;
        ::dlclose(handle);  // only asked; the count stays with whoever loaded it
        std::lock_guard<std::mutex> lock(registry_mutex);
        for (auto& r : registrations())
            if (r.entries == entries) r.handle = reinterpret_cast<HMODULE>(handle);
    }
}

// A type or name as the caller gave it: an ordinal, or a string ("#123" is
// the ordinal 123, as the device reads it).
struct Key {
    bool ordinal = true;
    WORD id = 0;
    std::u16string_view name;
};

Key key_of(LPCWSTR p) {
    Key k;
    if (IS_INTRESOURCE(p)) {
        k.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(p));
        return k;
    }
    std::u16string_view s(p);
    if (s.size() > 1 && s.size() <= 6 && s[0] == u'#' &&
        std::all_of(s.begin() + 1, s.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
        unsigned value = 0;
        for (char16_t c : s.substr(1)) value = value * 10 + (c - u'0');
        if (value <= 0xFFFF) {
            k.id = static_cast<WORD>(value);
            return k;
        }
    }
    k.ordinal = false;
    k.name = s;
    return k;
}

bool matches(const Key& k, const WCHAR* name, WORD id) {
    if (k.ordinal) return !name && id == k.id;
    return name && names_equal(k.name, std::u16string_view(name));
}

// The resource, or null with the Win32 error for what was missing.
const ce_resource_entry* find(HMODULE module, const Key& name, const Key& type, DWORD& error) {
    bool program = !module || module == program_module();
    if (!program) resolve_library_handles();
    std::lock_guard<std::mutex> lock(registry_mutex);
    bool any = false, type_seen = false;
    for (const auto& r : registrations()) {
        if (program ? !r.in_program : (r.in_program || r.handle != module)) continue;
        any = true;
        for (size_t i = 0; i < r.count; i++) {
            const ce_resource_entry& e = r.entries[i];
            if (!matches(type, e.type_name, e.type_id)) continue;
            type_seen = true;
            if (matches(name, e.name, e.name_id)) return &e;
        }
    }
    error = !any         ? ERROR_RESOURCE_DATA_NOT_FOUND
            : !type_seen ? ERROR_RESOURCE_TYPE_NOT_FOUND
                         : ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
}

// Whether p is an entry of a registered table: HRSRC values are the entries
// themselves, and one that is not is refused rather than read.
bool is_entry(const ce_resource_entry* p) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (const auto& r : registrations()) {
        if (p >= r.entries && p < r.entries + r.count) return true;
    }
    return false;
}

}  // namespace

}  // namespace ce

using namespace ce;

void ce_register_resources(const void* anchor, const ce_resource_entry* entries, size_t count) {
    if (!entries || !count) return;
    Locate where;
    where.address = reinterpret_cast<uintptr_t>(anchor);
    ::dl_iterate_phdr(locate_object, &where);
    Registration r;
    r.entries = entries;
    r.count = count;
    // A table the loader cannot place (not expected) counts as the program's.
    r.in_program = !where.found || where.in_program;
    r.object = where.object;
    std::lock_guard<std::mutex> lock(registry_mutex);
    registrations().push_back(std::move(r));
}

void ce_unregister_resources(const ce_resource_entry* entries) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& all = registrations();
    all.erase(std::remove_if(all.begin(), all.end(), [&](const Registration& r) { return r.entries == entries; }),
              all.end());
}

static HRSRC find_resource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    if (!name || !type) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = 0;
    const ce_resource_entry* e = find(module, key_of(name), key_of(type), error);
    if (!e) SetLastError(error);
    return reinterpret_cast<HRSRC>(const_cast<ce_resource_entry*>(e));
}

// FindResourceW -> a search of the module's registered tables; the HRSRC is the table entry.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    return CE_TRACE_RET(modules, find_resource(module, name, type), nullptr, FindResourceW, module, name, type);
}

static HGLOBAL load_resource(HMODULE module, HRSRC resource) {
    auto* e = reinterpret_cast<const ce_resource_entry*>(resource);
    if (!e || !is_entry(e)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(e->data);
}

// LoadResource -> the data in the module's constant table: nothing to load.
HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    return CE_TRACE_RET(modules, load_resource(module, resource), nullptr, LoadResource, module, resource);
}

// LockResource -> the loaded resource is already its data's address.
LPVOID LockResource(HGLOBAL resource) { return resource; }

// SizeofResource -> the entry's byte count.
DWORD SizeofResource(HMODULE module, HRSRC resource) {
    auto* e = reinterpret_cast<const ce_resource_entry*>(resource);
    if (!e || !is_entry(e)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return e->size;
}

// FreeResource -> nothing was allocated; the data goes with the module.
BOOL FreeResource(HGLOBAL resource) { return TRUE; }

static INT_PTR load_string(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    if (buffer && bufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const WCHAR* text = nullptr;
    WORD length = 0;
    DWORD error = ERROR_RESOURCE_NAME_NOT_FOUND;
    if (id <= 0xFFFF) {
        const ce_resource_entry* e = find(instance, key_of(MAKEINTRESOURCEW((id >> 4) + 1)), key_of(RT_STRING), error);
        if (e) {
            // The compiler wrote the block, but its size is checked all the
            // same: a slot never reads past the end.
            const auto* p = static_cast<const WCHAR*>(e->data);
            size_t units = e->size / sizeof(WCHAR), at = 0;
            for (UINT slot = 0; slot <= (id & 15) && at < units; slot++) {
                WORD n = p[at];
                if (at + 2 + n > units) break;
                if (slot == (id & 15)) {
                    text = p + at + 1;
                    length = n;
                }
                at += 2 + n;
            }
        }
    }
    if (!text || !length) {
        if (text) error = ERROR_RESOURCE_NAME_NOT_FOUND;
        SetLastError(error);
        if (buffer && bufferMax > 0) buffer[0] = 0;
        return 0;
    }
    if (!buffer) return reinterpret_cast<INT_PTR>(text);
    if (bufferMax == 0) {
        std::memcpy(buffer, &text, sizeof text);  // the buffer stands for an LPCWSTR
        return length;
    }
    size_t n = std::min<size_t>(length, static_cast<size_t>(bufferMax) - 1);
    std::memcpy(buffer, text, n * sizeof(WCHAR));
    buffer[n] = 0;
    return static_cast<INT_PTR>(n);
}

// LoadStringW -> slot id % 16 of RT_STRING block id / 16 + 1 (each slot a WORD length, the text, a terminator).
INT_PTR LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    return CE_TRACE_RET(modules, load_string(instance, id, buffer, bufferMax), 0, LoadStringW, instance, id, bufferMax);
}
