// The process-wide worker pool: a fixed set of threads, created once and
// never resized, that runs every parallel loop of the process. Several
// threads may run loops at once: their loops queue up and the workers take
// tasks from the oldest loop that still has some.
#pragma once

#include <cstddef>
#include <functional>

namespace rsvelmo::pool {

// The most threads a pool gets, whatever was asked for: max(64, 8 x the
// hardware threads). Asking for a million threads must not exhaust the process.
std::size_t max_threads();

// Creates the pool with `threads` threads (at most max_threads()) and waits
// until all have started. Returns false (and changes nothing) when a pool
// exists already. A child forked from a process with a pool gets a fresh
// pool of the parent's size on first use; `create` cannot change that size either.
bool create(std::size_t threads);

// Number of threads of the pool, creating it with the default size first if
// there is none.
std::size_t thread_count();

// Runs task(i) for every i in [0, count) on the pool and returns when all
// have finished. Tasks must write only their own result slots. Creates the
// pool with the default size if there is none. A task must not start
// another loop. While it waits, the calling thread calls `waiting` (when
// given) every few milliseconds: this is where a caller reports progress or
// notices a request to stop (its tasks then have to return early by themselves).
void run(std::size_t count, const std::function<void(std::size_t)>& task, const std::function<void()>& waiting = {});

// Default size: RAYON_NUM_THREADS if it holds an integer > 0 (0 means "the
// hardware threads"), else RAYON_RS_NUM_CPUS if > 0, else the hardware
// threads; never more than max_threads().
std::size_t default_size();

}  // namespace rsvelmo::pool
