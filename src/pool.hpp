// The process-wide worker pool: a fixed set of threads, created once and
// never resized, that runs every parallel loop of the process. Several
// threads may run loops at once: their loops queue up and the workers take
// tasks from the oldest loop that still has some.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>

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

// One task of a loop, told its index in the loop and the slot of the worker
// running it. Slots lie in [0, thread_count()) and no two tasks of one call
// of `run` share a slot at the same time, so scratch memory indexed by slot
// needs no lock (and stays in the cache of the core that used it last).
using Task = std::function<void(std::size_t index, std::size_t slot)>;

struct Loop {
    std::size_t count;
    Task task;
};

// Runs task(i, slot) for every i in [0, count) of every loop and returns
// when all have finished; the tasks of one loop are handed out before those
// of the next, so a long task put first starts first. Tasks must write only
// their own results. Creates the pool with the default size if there is
// none. A task may start a loop of its own: its worker runs that loop's
// tasks itself, in order, joined by any worker that has nothing else to do,
// so such a loop must not wait for a later task of its own. While it waits,
// the calling thread calls `waiting` (when given) every few milliseconds:
// this is where a caller reports progress or notices a request to stop (its
// tasks then have to return early by themselves). A task that throws (a
// failed allocation, say) has the loop's tasks not yet started skipped, and
// `run` rethrows its exception on the calling thread once the others have
// returned: an exception never ends a worker thread, or the process.
void run(std::initializer_list<Loop> loops, const std::function<void()>& waiting = {});
void run(std::size_t count, const Task& task, const std::function<void()>& waiting = {});

// Tells the CPU that the caller spins, waiting for another thread (a
// spin-wait hint; nothing on targets without one).
inline void spin_pause() {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// Default size: RAYON_NUM_THREADS if it holds an integer > 0 (0 means "the
// hardware threads"), else RAYON_RS_NUM_CPUS if > 0, else the hardware
// threads; never more than max_threads().
std::size_t default_size();

}  // namespace rsvelmo::pool
