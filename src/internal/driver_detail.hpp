// Pieces of the analysis driver exposed for its own tests.
#pragma once

#include <cstdint>
#include <vector>

namespace rsvelmo::driver {

// Sizes of the chunks of single-pathway permutations; one random stream
// serves each chunk.
std::vector<std::uint64_t> single_pathway_chunks(std::uint64_t nperm, bool run_multilevel);

}  // namespace rsvelmo::driver
