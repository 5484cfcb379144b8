// Recording and air-source parsers on arbitrary input: never a crash, every
// line either a group or counted as skipped, and what parses survives the
// raw 12-byte packing unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "air.h"
#include "rds_group.h"
#include "recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fmsim::Recording rec = fmsim::parse_recording(text);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    if (rec.groups.size() + rec.skipped > lines + 1) std::abort();
    for (const auto& g : rec.groups) {
        uint8_t raw[12];
        fmsim::pack_group(g, raw);
        fmsim::RdsGroup back;
        if (!fmsim::unpack_group(raw, back) || !(back == g)) std::abort();
        // A block not received is carried as a zero word with its error bit.
        for (int b = 0; b < 4; b++)
            if ((g.bad >> b & 1) && g.block[b] != 0) std::abort();
    }
    if (size >= 12) {
        fmsim::RdsGroup g;
        if (fmsim::unpack_group(data, g)) {
            uint8_t raw[12];
            fmsim::pack_group(g, raw);
            for (int i = 0; i < 12; i++)
                if (raw[i] != data[i]) std::abort();
        }
    }
    fmsim::StationSource wanted;
    if (fmsim::parse_source(text, wanted)) {
        fmsim::StationSource again;
        if (!fmsim::parse_source(fmsim::format_source(wanted), again)) std::abort();
        if (again.kind != wanted.kind || again.pi != wanted.pi || again.tmc != wanted.tmc || again.path != wanted.path)
            std::abort();
    }
    return 0;
}
