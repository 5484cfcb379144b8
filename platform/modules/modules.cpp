// Loadable modules: the device's DLLs are shared objects here. A bare
// "X.dll" is looked for as X.dll or libX.so in the root's \Windows, beside
// the program, in the program's ../lib (a build tree), in its
// ../lib/tervalon (an installed tree) and in CE_LIBRARY_PATH; a name with a
// path is a device path under the root. The module handle is the loader's own
// handle, known to a table that keeps the name it was loaded by.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ce_platform.h"
#include "ce_trace.h"
#include "modules/modules_internal.h"
#include "text/text_internal.h"
#include "windows.h"

#ifndef CE_INSTALLED_LIBRARIES
#error "CE_INSTALLED_LIBRARIES: where an installed program's libraries are, relative to its folder"
#endif

namespace ce {

namespace {

struct Module {
    std::string host;            // the file it was loaded from
    std::u16string device_name;  // what GetModuleFileNameW answers
    int references = 0;
};

std::mutex modules_mutex;
std::unordered_map<void*, Module>& modules() {
    static auto* table = new std::unordered_map<void*, Module>;  // outlives static destructors
    return *table;
}

thread_local std::string module_error;

bool is_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file called name in dir: the exact name, else one that differs only in
// case (the device's file names are case-insensitive).
std::string find_in_dir(const std::string& dir, const std::u16string& name) {
    std::string exact = dir + "/" + narrow(name);
    if (is_file(exact)) return exact;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::string best;
    while (dirent* e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (names_equal(widen(entry), name) && is_file(dir + "/" + entry) && (best.empty() || entry < best))
            best = entry;
    }
    ::closedir(d);
    return best.empty() ? std::string() : dir + "/" + best;
}

std::string program_path() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::u16string with_exe_extension(std::u16string name) {
    size_t slash = name.find_last_of(u"\\/");
    size_t dot = name.rfind(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) name += u".exe";
    return name;
}

// The device path of the program: its own when it lies under the root, else
// where the device keeps programs.
std::u16string program_device_name() {
    std::string exe = program_path();
    if (auto device = device_path_of(exe)) return with_exe_extension(*device);
    std::string base = exe.substr(exe.rfind('/') + 1);
    return with_exe_extension(u"\\Windows\\" + widen(base));
}

bool ends_with_nocase(const std::u16string& s, std::u16string_view suffix) {
    return s.size() >= suffix.size() && names_equal(std::u16string_view(s).substr(s.size() - suffix.size()), suffix);
}

}  // namespace

std::string last_module_error() { return module_error; }

HMODULE program_module() {
    static void* const self = ::dlopen(nullptr, RTLD_LAZY);
    return reinterpret_cast<HMODULE>(self);
}

}  // namespace ce

using namespace ce;

static HMODULE load_library(LPCWSTR name) {
    if (!name || !*name) {
        module_error = "no module name";
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string requested(name);
    size_t cut = requested.find_last_of(u"\\/");
    std::u16string file = cut == std::u16string::npos ? requested : requested.substr(cut + 1);
    std::u16string device_dir = cut == std::u16string::npos ? std::u16string() : requested.substr(0, cut + 1);
    // As on the device: no extension means ".dll"; a trailing dot means none.
    if (!file.empty() && file.back() == u'.') file.pop_back();
    else if (file.find(u'.') == std::u16string::npos) file += u".dll";
    if (file.empty()) {
        module_error = "no module name";
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::vector<std::u16string> candidates{file};
    if (ends_with_nocase(file, u".dll")) candidates.push_back(u"lib" + file.substr(0, file.size() - 4) + u".so");

    std::vector<std::string> folders;
    if (cut != std::u16string::npos) {
        MappedPath m = map_path(device_dir.empty() ? u"\\" : device_dir);
        if (!m.error) folders.push_back(m.host);
    } else {
        MappedPath windows = map_path(u"\\Windows");
        if (!windows.error) folders.push_back(windows.host);
        std::string exe_dir = folder_of(program_path());
        folders.push_back(exe_dir);
        folders.push_back(exe_dir + "/../lib");
        folders.push_back(exe_dir + "/" CE_INSTALLED_LIBRARIES);
        if (const char* extra = std::getenv("CE_LIBRARY_PATH")) {
            std::string list = extra;
            size_t start = 0;
            while (start <= list.size()) {
                size_t colon = list.find(':', start);
                if (colon == std::string::npos) colon = list.size();
                if (colon > start) folders.push_back(list.substr(start, colon - start));
                start = colon + 1;
            }
        }
    }

    std::string first_error;
    for (const auto& folder : folders) {
        for (const auto& candidate : candidates) {
            std::string path = find_in_dir(folder, candidate);
            if (path.empty()) continue;
            // Code from the root runs as this user: only from a root of theirs alone.
            if (std::string problem; device_path_of(folder) && !claim_root(root(), &problem)) {
                module_error = problem;
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                // Keep looking (a library for another machine may sit in one
                // folder and the right one in the next), but report the first.
                const char* why = ::dlerror();
                if (first_error.empty()) first_error = why ? why : path + ": cannot be loaded";
                continue;
            }
            std::u16string device_name;
            if (auto dir = device_path_of(folder)) {
                device_name = *dir == u"\\" ? u"\\" + file : *dir + u"\\" + file;
            } else {
                device_name = u"\\Windows\\" + file;
            }
            {
                std::lock_guard<std::mutex> lock(modules_mutex);
                Module& m = modules()[handle];
                if (m.references++ == 0) {
                    m.host = path;
                    m.device_name = device_name;
                }
            }
            module_error.clear();
            return reinterpret_cast<HMODULE>(handle);
        }
    }
    module_error = first_error.empty() ? narrow(requested) + ": not found" : first_error;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// LoadLibraryW -> dlopen(3) RTLD_NOW|RTLD_LOCAL of X.dll or libX.so found along the device's search order.
HMODULE LoadLibraryW(LPCWSTR name) { return CE_TRACE_RET(modules, load_library(name), nullptr, LoadLibraryW, name); }

static BOOL free_library(HMODULE module) {
    void* handle = module;
    {
        std::lock_guard<std::mutex> lock(modules_mutex);
        auto it = modules().find(handle);
        if (it == modules().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second.references == 0) modules().erase(it);
    }
    ::dlclose(handle);
    return TRUE;
}

// FreeLibrary -> dlclose(3) once per successful LoadLibraryW.
BOOL FreeLibrary(HMODULE module) { return CE_TRACE_RET(modules, free_library(module), FALSE, FreeLibrary, module); }

static FARPROC get_proc_address(HMODULE module, LPCSTR procName) {
    if (reinterpret_cast<uintptr_t>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(modules_mutex);
    if (module != program_module() && !modules().count(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ::dlerror();
    void* symbol = ::dlsym(module, procName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

// GetProcAddressA -> dlsym(3) in a module loaded by LoadLibraryW or the program's own; names only, no ordinals.
FARPROC GetProcAddressA(HMODULE module, LPCSTR procName) {
    return CE_TRACE_RET(modules, get_proc_address(module, procName), nullptr, GetProcAddressA, module, procName);
}

static FARPROC get_proc_address_w(HMODULE module, LPCWSTR procName) {
    if (reinterpret_cast<uintptr_t>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return get_proc_address(module, narrow(procName).c_str());
}

// GetProcAddressW -> dlsym(3) with the name converted from UTF-16.
FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName) {
    return CE_TRACE_RET(modules, get_proc_address_w(module, procName), nullptr, GetProcAddressW, module, procName);
}

static DWORD get_module_file_name(HMODULE module, LPWSTR fileName, DWORD size) {
    std::u16string name;
    if (!module || module == program_module()) {
        name = program_device_name();
    } else {
        std::lock_guard<std::mutex> lock(modules_mutex);
        auto it = modules().find(module);
        if (it == modules().end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        name = it->second.device_name;
    }
    if (!fileName && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (name.size() < size) {
        name.copy(fileName, name.size());
        fileName[name.size()] = 0;
        return static_cast<DWORD>(name.size());
    }
    // Too small: as much as fits, terminated, and the buffer's size returned.
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    if (size == 0) return 0;
    name.copy(fileName, size - 1);
    fileName[size - 1] = 0;
    return size;
}

// GetModuleFileNameW -> the device name a module was loaded by; for NULL or the program, /proc/self/exe's.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    return CE_TRACE_RET(modules, get_module_file_name(module, fileName, size), 0u, GetModuleFileNameW, module, size);
}

static HMODULE get_module_handle(LPCWSTR moduleName) {
    if (!moduleName) return program_module();
    std::u16string file(moduleName);
    size_t cut = file.find_last_of(u"\\/");
    if (cut != std::u16string::npos) file = file.substr(cut + 1);
    if (!file.empty() && file.back() == u'.') file.pop_back();
    else if (file.find(u'.') == std::u16string::npos) file += u".dll";
    if (file.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto file_part = [](const std::u16string& path) {
        size_t slash = path.find_last_of(u"\\/");
        return slash == std::u16string::npos ? path : path.substr(slash + 1);
    };
    if (names_equal(file_part(program_device_name()), file)) return program_module();
    {
        std::lock_guard<std::mutex> lock(modules_mutex);
        for (const auto& [handle, m] : modules())
            if (names_equal(file_part(m.device_name), file)) return reinterpret_cast<HMODULE>(handle);
    }
    std::vector<std::u16string> candidates{file};
    if (ends_with_nocase(file, u".dll")) candidates.push_back(u"lib" + file.substr(0, file.size() - 4) + u".so");
    for (const auto& candidate : candidates) {
        // The count RTLD_NOLOAD adds is given back at once: the handle stays
        // valid for as long as whoever loaded the library keeps it.
        if (void* handle = ::dlopen(narrow(candidate).c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
            ::dlclose(handle);
            return reinterpret_cast<HMODULE>(handle);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// GetModuleHandleW -> NULL: the program (dlopen(3) of NULL); a name: the program's file, a LoadLibraryW module
// of that file name, else one the loader holds (dlopen(3) RTLD_NOLOAD of X.dll or libX.so).
HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    return CE_TRACE_RET(modules, get_module_handle(moduleName), nullptr, GetModuleHandleW, moduleName);
}
