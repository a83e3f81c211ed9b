// Reading pathway collections from GMT files.
#pragma once

#include <string>

#include "core.hpp"
#include "result.hpp"

namespace rsvelmo {

// Reads a GMT file: one pathway per line, tab-separated name, description and
// genes. Blank lines are skipped; gene names are trimmed of Unicode white
// space. Fails with the operating system's message (and error number), on
// invalid UTF-8, or on a line with fewer than three columns (with the line).
Result<PathwayDb> read_gmt(const std::string& path);

}  // namespace rsvelmo
