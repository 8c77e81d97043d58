// JSON lines on standard output that never fail on the text they carry.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

// Writes `j` on one line. Bytes that are not UTF-8 (a typed command, a file name) are
// shown as U+FFFD rather than making the dump throw.
void PutJsonLine(std::ostream& out, nlohmann::json const& j);
