// What the module boundary decides before an analysis starts: the kind of
// analysis and the size of the worker pool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "algo.hpp"
#include "core.hpp"
#include "result.hpp"

namespace rsvelmo {

// Full Unicode lower-case mapping of UTF-8 text (no trimming).
std::string unicode_lower(const std::string& text);

// "std", "pos" or "neg", already lower-cased; nothing for any other text.
std::optional<ScoreType> parse_score_type(const std::string& lower);

// "multilevel", "simple" or "velmo" in any case.
Result<InterfaceMode> parse_interface_mode(const std::string& mode);

// nproc > 0 asks for a pool of that many threads (at most
// pool::max_threads()); once a pool exists the request has no effect and
// reports nothing.
void configure_pool(std::uint64_t nproc);

}  // namespace rsvelmo
