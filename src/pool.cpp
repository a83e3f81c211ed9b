#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace rsvelmo::pool {

namespace {

// One parallel loop handed to the workers.
struct Job {
    std::size_t count = 0;
    const std::function<void(std::size_t)>* task = nullptr;
    std::atomic<std::size_t> next{0};
    std::size_t unfinished_workers = 0;  // guarded by Pool::mutex_
};

class Pool {
public:
    explicit Pool(std::size_t threads) {
        // If the system refuses more threads, the pool keeps those it got;
        // with none at all, loops run on the calling thread.
        try {
            for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return started_ == workers_.size(); });
    }

    // The pool lives until the process ends; its threads are detached at exit
    // so that no static destructor has to join them.
    ~Pool() {
        for (auto& t : workers_) t.detach();
    }

    std::size_t size() const { return std::max<std::size_t>(workers_.size(), 1); }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        if (count == 0) return;
        if (workers_.empty()) {
            for (std::size_t i = 0; i < count; ++i) task(i);
            return;
        }
        Job job;
        job.count = count;
        job.task = &task;
        std::unique_lock lock(mutex_);
        job.unfinished_workers = workers_.size();
        job_ = &job;
        ++generation_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return job.unfinished_workers == 0; });
        job_ = nullptr;
    }

private:
    void work() {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.notify_all();
        while (true) {
            changed_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            Job* job = job_;
            lock.unlock();
            for (std::size_t i; (i = job->next.fetch_add(1, std::memory_order_relaxed)) < job->count;) {
                (*job->task)(i);
            }
            lock.lock();
            if (--job->unfinished_workers == 0) changed_.notify_all();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t started_ = 0;
    std::uint64_t generation_ = 0;
    Job* job_ = nullptr;
};

// The only global mutable state of the library. Created on first use and
// deliberately leaked: worker threads may still sleep in it at process exit.
Pool* g_pool = nullptr;
std::mutex g_create_mutex;
// In a forked child: the size of the parent's pool, which the child builds
// afresh on first use (the parent's workers do not exist in the child).
std::size_t g_size_after_fork = 0;

void before_fork() { g_create_mutex.lock(); }
void after_fork_in_parent() { g_create_mutex.unlock(); }
void after_fork_in_child() {
    // The old pool's mutex may be held by a worker that is gone: leave the
    // object alone and forget it.
    if (g_pool != nullptr) {
        g_size_after_fork = g_pool->size();
        g_pool = nullptr;
    }
    g_create_mutex.unlock();
}

// Builds the pool; the caller holds g_create_mutex.
void build(std::size_t threads) {
    static const bool fork_handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    (void)fork_handlers;
    g_pool = new Pool(threads);
}

std::optional<std::size_t> env_count(const char* name) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return std::nullopt;
    std::string_view text(raw);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::size_t value = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || err != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::size_t hardware_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

Pool& instance() {
    std::lock_guard lock(g_create_mutex);
    if (g_pool == nullptr) build(g_size_after_fork > 0 ? g_size_after_fork : default_size());
    return *g_pool;
}

}  // namespace

std::size_t default_size() {
    if (auto n = env_count("RAYON_NUM_THREADS")) {
        return *n > 0 ? *n : hardware_threads();
    }
    if (auto n = env_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
    return hardware_threads();
}

bool create(std::size_t threads) {
    std::lock_guard lock(g_create_mutex);
    if (g_pool != nullptr || threads == 0) return false;
    if (g_size_after_fork > 0) {  // a forked child keeps its parent's size
        build(g_size_after_fork);
        return false;
    }
    build(threads);
    return true;
}

std::size_t thread_count() { return instance().size(); }

void run(std::size_t count, const std::function<void(std::size_t)>& task) {
    instance().run(count, task);
}

}  // namespace rsvelmo::pool
