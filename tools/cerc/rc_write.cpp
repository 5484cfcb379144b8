// Writing: the binary layouts the device's resource compiler writes and the
// device's dialog manager, menu loader and LoadString read. All words are
// little-endian; names are zero-terminated UTF-16.
#include <functional>

#include "rc_internal.h"

namespace ce::rc {

// A DLGTEMPLATE, then each DLGITEMTEMPLATE on a DWORD boundary.
std::vector<uint8_t> write_dialog(const Dialog& d) {
    Writer out;
    out.u32(d.style);
    out.u32(d.exstyle);
    out.u16(static_cast<uint32_t>(d.items.size()));
    for (int16_t v : d.box) out.u16(static_cast<uint16_t>(v));
    if (d.menu) out.id(*d.menu);
    else out.u16(0);
    if (d.klass) out.id(*d.klass);
    else out.u16(0);
    out.text(d.caption);
    if (d.font) {
        out.u16(d.font->first);
        out.text(d.font->second);
    }
    for (const DialogItem& item : d.items) {
        out.align4();
        out.u32(item.style);
        out.u32(item.exstyle);
        for (int16_t v : item.rect) out.u16(static_cast<uint16_t>(v));
        out.u16(item.id);
        out.id(item.klass);
        if (item.title.ordinal) out.id(ResId{item.title.id, {}});
        else out.text(item.title.s);
        out.u16(0);  // no creation data
    }
    return std::move(out.bytes);
}

// A MENUITEMTEMPLATEHEADER, then the items depth first; the last item of
// each level carries MF_END.
std::vector<uint8_t> write_menu(const std::vector<MenuItem>& top) {
    Writer out;
    out.u16(0);  // version
    out.u16(0);  // offset of the items
    std::function<void(const std::vector<MenuItem>&)> write = [&](const std::vector<MenuItem>& items) {
        for (size_t i = 0; i < items.size(); i++) {
            const MenuItem& m = items[i];
            uint16_t flags = static_cast<uint16_t>(m.flags | (i + 1 == items.size() ? 0x0080 : 0));  // MF_END
            if (m.popup) {
                out.u16(flags | 0x0010);  // MF_POPUP
                out.text(m.text);
                write(m.children);
            } else {
                out.u16(flags);
                out.u16(m.separator ? 0 : m.id);
                out.text(m.separator ? u"" : m.text);
            }
        }
    };
    write(top);
    return std::move(out.bytes);
}

// Sixteen slots, each a WORD length, the text and a terminator (RC's -n, so
// that a pointer into the block reads as a C string); an empty slot is a
// zero length and the terminator.
std::vector<uint8_t> write_string_block(const StringBlock& slots) {
    Writer out;
    for (const auto& slot : slots) {
        if (slot) {
            out.u16(static_cast<uint16_t>(slot->size()));
            out.text(*slot);
        } else {
            out.u16(0);
            out.u16(0);
        }
    }
    return std::move(out.bytes);
}

}  // namespace ce::rc
