// The .reg reader on any bytes: it never crashes, refuses with a line inside
// the file, and what it accepts the writer writes in a form that reads back
// to the same keys and values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "regfile.h"

namespace {

bool same(const regfile::Entry& a, const regfile::Entry& b) {
    return a.kind == b.kind && a.root == b.root && a.key == b.key && a.name == b.name && a.type == b.type &&
           a.data == b.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<regfile::Entry> entries;
    regfile::Error error;
    if (!regfile::parse(bytes, entries, error)) {
        if (!entries.empty() || error.message.empty() || error.line < 0) std::abort();
        int lines = 1;
        for (char c : bytes) lines += c == '\n';
        if (error.line > lines) std::abort();
        return 0;
    }
    // Written again: keys and values as they are (deletions have no written form).
    std::string text = regfile::header();
    std::vector<regfile::Entry> kept;
    for (const auto& e : entries) {
        if (e.kind == regfile::Entry::Key) {
            if (!regfile::key_line(e.root, e.key, text)) std::abort();  // the reader refused such names
            kept.push_back(e);
        } else if (e.kind == regfile::Entry::Value && !kept.empty() && kept.back().root == e.root &&
                   kept.back().key == e.key) {
            if (!regfile::value_lines(e.name, e.type, e.data, text)) continue;
            kept.push_back(e);
        }
    }
    std::vector<regfile::Entry> again;
    if (!regfile::parse(text, again, error)) std::abort();
    if (again.size() != kept.size()) std::abort();
    for (size_t i = 0; i < again.size(); i++) {
        if (!same(again[i], kept[i])) std::abort();
    }
    return 0;
}
