// Registry operations driven by fuzz bytes against a temporary root: paths,
// names, types, sizes and handles chosen by the input. Nothing may crash, a
// too-small buffer is never written, and what was stored reads back intact.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "windows.h"

namespace {

class Bytes {
public:
    Bytes(const uint8_t* d, size_t n) : d_(d), n_(n) {}
    bool empty() const { return at_ >= n_; }
    uint8_t byte() { return at_ < n_ ? d_[at_++] : 0; }
    // Takes up to n bytes; fewer at the end of the input.
    std::vector<BYTE> take(size_t n) {
        n = std::min(n, n_ - std::min(at_, n_));
        std::vector<BYTE> out(d_ + at_, d_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    const uint8_t* d_;
    size_t n_;
    size_t at_ = 0;
};

// Mostly a small alphabet, so that names collide (and differ only in case);
// sometimes long, empty, or with separators where they do not belong.
std::u16string name_from(Bytes& in, bool path) {
    static const char16_t alphabet[] = {u'a', u'A', u'b', u'B', u'z', u'\\', u' ', u'.', u'\u00e4', u'\u00c4', 0xD800};
    uint8_t len_code = in.byte();
    size_t len = len_code < 200 ? len_code % 12 : (len_code < 250 ? 250 + (len_code - 200) : 16390);
    std::u16string s;
    for (size_t i = 0; i < len; i++) {
        uint8_t c = in.empty() ? static_cast<uint8_t>(i) : in.byte();
        char16_t ch = alphabet[c % (sizeof alphabet / sizeof alphabet[0])];
        if (!path && ch == u'\\') ch = u'_';
        s += ch;
    }
    return s;
}

HKEY pick_key(Bytes& in, const std::vector<HKEY>& open) {
    uint8_t c = in.byte();
    if (c % 4 == 0 || open.empty()) return HKEY_LOCAL_MACHINE;
    if (c % 4 == 1) return HKEY_CURRENT_USER;
    if (c % 4 == 2) return reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x100 + c));  // never a valid handle
    return open[c % open.size()];
}

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "registry_fuzz: %s\n", what);
    std::abort();
}

std::vector<BYTE>& big_buffer() {
    static std::vector<BYTE> b(CE_REG_MAX_DATA + 16, 0x33);
    return b;
}

void one_op(Bytes& in, std::vector<HKEY>& open) {
    switch (in.byte() % 9) {
        case 0:
        case 1: {  // create or open
            HKEY base = pick_key(in, open);
            std::u16string path = name_from(in, true);
            HKEY k = nullptr;
            LONG e = (in.byte() & 1) ? RegCreateKeyExW(base, path.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr)
                                     : RegOpenKeyExW(base, path.c_str(), 0, 0, &k);
            if (e == ERROR_SUCCESS) {
                if (!k) broken("success without a key");
                if (open.size() < 8) open.push_back(k);
                else RegCloseKey(k);
            } else if (k) {
                broken("failure with a key");
            }
            break;
        }
        case 2: {  // set, then read back
            HKEY k = pick_key(in, open);
            std::u16string name = name_from(in, false);
            DWORD type = in.byte() % 13;
            uint8_t size_code = in.byte();
            std::vector<BYTE> data;
            const BYTE* p;
            DWORD size;
            if (size_code == 255) {
                size = CE_REG_MAX_DATA + (in.byte() & 1);
                p = big_buffer().data();
            } else {
                data = in.take(size_code % 40);
                size = static_cast<DWORD>(data.size());
                p = data.empty() ? nullptr : data.data();
            }
            LONG e = RegSetValueExW(k, name.c_str(), 0, type, p, size);
            if (e == ERROR_SUCCESS && size > CE_REG_MAX_DATA) broken("oversized value stored");
            if (e != ERROR_SUCCESS || type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) break;
            std::vector<BYTE> back(size + 1);
            DWORD back_size = static_cast<DWORD>(back.size()), back_type = 99;
            e = RegQueryValueExW(k, name.c_str(), nullptr, &back_type, back.data(), &back_size);
            if (e != ERROR_SUCCESS || back_type != type || back_size != size ||
                (size && std::memcmp(back.data(), p, size) != 0))
                broken("value did not read back");
            break;
        }
        case 3: {  // query with an arbitrary buffer
            HKEY k = pick_key(in, open);
            std::u16string name = name_from(in, false);
            DWORD offered = in.byte() % 24;
            std::vector<BYTE> buf(offered + 8, 0xC5);
            DWORD size = offered, type = 0;
            LONG e = RegQueryValueExW(k, name.c_str(), nullptr, &type, buf.data(), &size);
            if (e == ERROR_MORE_DATA) {
                if (size <= offered) broken("MORE_DATA without a bigger size");
                for (BYTE b : buf) {
                    if (b != 0xC5) broken("too-small buffer written");
                }
            } else if (e == ERROR_SUCCESS && size > offered) {
                broken("success past the buffer");
            }
            for (size_t i = offered; i < buf.size(); i++) {
                if (buf[i] != 0xC5) broken("write past the offered size");
            }
            break;
        }
        case 4: {  // enumerate keys and values with arbitrary buffers
            HKEY k = pick_key(in, open);
            DWORD index = in.byte() % 6;
            DWORD chars = in.byte() % 8;
            std::vector<WCHAR> name(chars + 4, 0x5A5A);
            DWORD name_size = chars;
            LONG e = (in.byte() & 1)
                         ? RegEnumKeyExW(k, index, name.data(), &name_size, nullptr, nullptr, nullptr, nullptr)
                         : RegEnumValueW(k, index, name.data(), &name_size, nullptr, nullptr, nullptr, nullptr);
            if (e == ERROR_SUCCESS && name_size >= chars) broken("name longer than its buffer");
            for (size_t i = (e == ERROR_SUCCESS ? name_size + 1 : 0); i < name.size(); i++) {
                if (name[i] != 0x5A5A) broken("enumeration wrote past the name");
            }
            break;
        }
        case 5: {
            HKEY k = pick_key(in, open);
            std::u16string name = name_from(in, false);
            RegDeleteValueW(k, name.c_str());
            break;
        }
        case 6: {
            HKEY k = pick_key(in, open);
            std::u16string path = name_from(in, true);
            RegDeleteKeyW(k, path.c_str());
            break;
        }
        case 7: {
            if (open.empty()) break;
            size_t i = in.byte() % open.size();
            if (RegCloseKey(open[i]) != ERROR_SUCCESS) broken("close of an open key failed");
            open.erase(open.begin() + static_cast<long>(i));
            break;
        }
        default: {
            // A real flush syncs the disk: rare, or the run is all waiting.
            HKEY k = pick_key(in, open);
            if (in.byte() == 0) RegFlushKey(k);
            else RegFlushKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x2000)));
            break;
        }
    }
}

void wipe(HKEY root) {
    WCHAR name[300];
    for (int guard = 0; guard < 10000; guard++) {
        DWORD n = 300;
        if (RegEnumKeyExW(root, 0, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (RegDeleteKeyW(root, name) != ERROR_SUCCESS) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        static char tmpl[] = "/tmp/ce-regfuzz-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        ce::set_root(tmpl);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(tmpl, ec);
        });
        return true;
    }();
    (void)ready;
    static unsigned runs = 0;
    if (++runs % 200 == 0) {
        // Keep the store small so every run stays fast.
        wipe(HKEY_LOCAL_MACHINE);
        wipe(HKEY_CURRENT_USER);
    }
    Bytes in(data, size);
    std::vector<HKEY> open;
    for (int ops = 0; ops < 24 && !in.empty(); ops++) one_op(in, open);
    for (HKEY k : open) RegCloseKey(k);
    return 0;
}
