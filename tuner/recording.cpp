// Recording parsers: one line at a time, nothing trusted.
#include "recording.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ce_platform.h"

namespace fmsim {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One word: four hex digits, or "----" for a block that was not received.
bool parse_word(std::string_view word, uint16_t& value, bool& bad) {
    if (word.size() != 4) return false;
    if (word == "----") {
        value = 0;
        bad = true;
        return true;
    }
    unsigned v = 0;
    for (char c : word) {
        int d = hex_value(c);
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    value = static_cast<uint16_t>(v);
    bad = false;
    return true;
}

bool parse_line(std::string_view line, RdsGroup& group) {
    size_t pos = 0;
    auto next_word = [&](std::string_view& word) {
        while (pos < line.size() && is_space(line[pos])) pos++;
        size_t start = pos;
        while (pos < line.size() && !is_space(line[pos])) pos++;
        word = line.substr(start, pos - start);
        return !word.empty();
    };
    RdsGroup g;
    for (int b = 0; b < 4; b++) {
        std::string_view word;
        bool bad = false;
        if (!next_word(word) || !parse_word(word, g.block[b], bad)) return false;
        if (bad) g.bad |= static_cast<uint8_t>(1u << b);
    }
    // What may follow: the .spy time stamp, nothing else.
    std::string_view rest;
    if (next_word(rest) && rest[0] != '@') return false;
    group = g;
    return true;
}

}  // namespace

Recording parse_recording(std::string_view text) {
    Recording rec;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t first = 0;
        while (first < line.size() && is_space(line[first])) first++;
        if (first == line.size()) continue;  // blank lines are nothing, not skipped groups
        RdsGroup g;
        if (parse_line(line.substr(first), g)) rec.groups.push_back(g);
        else rec.skipped++;
    }
    return rec;
}

std::shared_ptr<const Recording> load_recording(const std::string& path, std::string* error) {
    std::string text;
    if (!ce::read_regular_file(path, kMaxRecordingBytes, &text, error)) return nullptr;
    return std::make_shared<const Recording>(parse_recording(text));
}

}  // namespace fmsim
