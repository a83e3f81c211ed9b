// The process-wide worker pool: a fixed set of threads, created once and
// never resized, that runs every parallel loop of the process.
#pragma once

#include <cstddef>
#include <functional>

namespace rsvelmo::pool {

// Creates the pool with exactly `threads` threads and waits until all have
// started. Returns false (and changes nothing) when a pool exists already.
// A child forked from a process with a pool gets a fresh pool of the
// parent's size on first use; `create` cannot change that size either.
bool create(std::size_t threads);

// Number of threads of the pool, creating it with the default size first if
// there is none.
std::size_t thread_count();

// Runs task(i) for every i in [0, count) on the pool and returns when all
// have finished. Tasks must write only their own result slots. Creates the
// pool with the default size if there is none. Not reentrant: a task must
// not start another loop.
void run(std::size_t count, const std::function<void(std::size_t)>& task);

// Default size: RAYON_NUM_THREADS if it holds an integer > 0 (0 means "the
// hardware threads"), else RAYON_RS_NUM_CPUS if > 0, else the hardware threads.
std::size_t default_size();

}  // namespace rsvelmo::pool
