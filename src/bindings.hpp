// What the module boundary decides before an analysis starts: the kind of
// analysis, the execution plan and the size of the worker pool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core.hpp"
#include "result.hpp"

namespace rsvelmo {

enum class InterfaceMode : std::uint8_t { Multilevel = 0, Simple = 1, Velmo = 2 };

struct ExecutionPlan {
    InterfaceMode mode = InterfaceMode::Velmo;
    bool gpu = false;
};

// Full Unicode lower-case mapping of UTF-8 text (no trimming).
std::string unicode_lower(const std::string& text);

// "std", "pos" or "neg", already lower-cased; nothing for any other text.
std::optional<ScoreType> parse_score_type(const std::string& lower);

// "multilevel", "simple" or "velmo" in any case.
Result<InterfaceMode> parse_interface_mode(const std::string& mode);

Result<ExecutionPlan> resolve_execution_plan(InterfaceMode mode, bool gpu, std::optional<std::uint64_t> nperm,
                                             std::uint64_t n_perm_simple);

// nproc > 0 asks for a pool of that many threads (at most
// pool::max_threads()); once a pool exists the request has no effect and
// reports nothing.
void configure_pool(std::uint64_t nproc);

}  // namespace rsvelmo
