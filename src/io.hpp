// Reading pathway collections from GMT files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core.hpp"
#include "result.hpp"

namespace rsvelmo {

// What the GMT reader takes at most, so that a file that is not a GMT file
// (/dev/zero, a disk image, a gzip bomb) is refused after a bounded read
// instead of filling the memory. Generous for real collections: MSigDB's
// largest gene set takes under 200 KiB on its line and all its collections
// together under 100 MiB.
struct GmtLimits {
    std::size_t line = std::size_t{16} << 20;     // 16 MiB: about a million genes on one line
    std::size_t field = std::size_t{1} << 20;     // 1 MiB for a name, a description or a gene
    std::uint64_t file = std::uint64_t{1} << 30;  // 1 GiB of text (after decompression)
};

// Reads a GMT file: one pathway per line, tab-separated name, description and
// genes. Blank lines are skipped; gene names are trimmed of Unicode white
// space. Fails with the operating system's message (and error number), on
// invalid UTF-8, on a line with fewer than three columns (with the line), or
// on a line, field or file beyond `limits`.
Result<PathwayDb> read_gmt(const std::string& path, const GmtLimits& limits = {});

}  // namespace rsvelmo
