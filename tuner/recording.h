// RDS recordings in hex-group form: RDS Spy's .spy ("9602 4401 C9DE FDC4
// @2019/05/04 17:55:00.91", "----" for a block not received) and the
// "% RDS hexgroups" .rds form (the same four words, '%' lines are comments).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rds_group.h"

namespace fmsim {

struct Recording {
    std::vector<RdsGroup> groups;
    size_t skipped = 0;  // lines that carried no group (headers, comments, malformed)
};

// Parses the text of a recording. Never fails: lines that are not a group are
// skipped and counted. A group line is four words of four hex digits or
// "----", optionally followed by "@date time" (.spy) and nothing else.
Recording parse_recording(std::string_view text);

// Reads and parses a host file. Null with a reason when the file cannot be
// read or is larger than kMaxRecordingBytes.
constexpr size_t kMaxRecordingBytes = 64u << 20;
std::shared_ptr<const Recording> load_recording(const std::string& path, std::string* error = nullptr);

}  // namespace fmsim
