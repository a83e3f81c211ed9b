#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace rsvelmo::pool {

namespace {

// One parallel loop handed to the workers. It lives on the stack of the
// thread that runs it, which leaves only once no worker holds it any more.
struct Job {
    std::initializer_list<Loop> loops;
    std::size_t count = 0;  // tasks of all loops
    std::atomic<std::size_t> next{0};
    std::size_t finished = 0;  // tasks done; guarded by Pool::mutex_
    std::size_t holders = 0;   // workers taking tasks from it; guarded by Pool::mutex_
    bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }

    // Runs the t-th task of the job, counting through the loops in order.
    void run_task(std::size_t t, std::size_t slot) const {
        for (const Loop& loop : loops) {
            if (t < loop.count) return loop.task(t, slot);
            t -= loop.count;
        }
    }
};

// How often a waiting caller gets its `waiting` call.
constexpr auto kWaitSlice = std::chrono::milliseconds(10);

class Pool {
public:
    explicit Pool(std::size_t threads) {
        // If the system refuses more threads, the pool keeps those it got;
        // with none at all, loops run on the calling thread.
        try {
            for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this, i] { work(i); });
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

    void run(std::initializer_list<Loop> loops, const std::function<void()>& waiting) {
        Job job;
        job.loops = loops;
        for (const Loop& loop : loops) job.count += loop.count;
        if (job.count == 0) return;
        if (workers_.empty()) {
            for (std::size_t t = 0; t < job.count; ++t) job.run_task(t, 0);
            return;
        }
        std::unique_lock lock(mutex_);
        queue_.push_back(&job);
        work_ready_.notify_all();
        const auto done = [&] { return job.finished == job.count && job.holders == 0; };
        while (!done()) {
            if (!waiting) {
                job_done_.wait(lock, done);
                break;
            }
            if (job_done_.wait_for(lock, kWaitSlice, done)) break;
            lock.unlock();
            waiting();
            lock.lock();
        }
        std::erase(queue_, &job);
    }

private:
    void work(std::size_t slot) {
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.notify_all();
        while (true) {
            work_ready_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            if (job->exhausted()) {  // every task taken: let the others come forward
                queue_.pop_front();
                continue;
            }
            ++job->holders;
            lock.unlock();
            std::size_t ran = 0;
            for (std::size_t i; (i = job->next.fetch_add(1, std::memory_order_relaxed)) < job->count; ++ran) {
                job->run_task(i, slot);
            }
            lock.lock();
            job->finished += ran;
            --job->holders;
            if (!queue_.empty() && queue_.front() == job) queue_.pop_front();
            if (job->finished == job->count && job->holders == 0) job_done_.notify_all();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;     // workers started
    std::condition_variable work_ready_;  // a loop was queued
    std::condition_variable job_done_;    // a loop finished
    std::size_t started_ = 0;
    std::deque<Job*> queue_;
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

std::size_t max_threads() { return std::max<std::size_t>(64, 8 * hardware_threads()); }

std::size_t default_size() {
    std::size_t size = hardware_threads();
    if (auto n = env_count("RAYON_NUM_THREADS")) {
        if (*n > 0) size = *n;
    } else if (auto m = env_count("RAYON_RS_NUM_CPUS"); m && *m > 0) {
        size = *m;
    }
    return std::min(size, max_threads());
}

bool create(std::size_t threads) {
    std::lock_guard lock(g_create_mutex);
    if (g_pool != nullptr || threads == 0) return false;
    if (g_size_after_fork > 0) {  // a forked child keeps its parent's size
        build(g_size_after_fork);
        return false;
    }
    build(std::min(threads, max_threads()));
    return true;
}

std::size_t thread_count() { return instance().size(); }

void run(std::initializer_list<Loop> loops, const std::function<void()>& waiting) { instance().run(loops, waiting); }

void run(std::size_t count, const Task& task, const std::function<void()>& waiting) {
    run({Loop{count, task}}, waiting);
}

}  // namespace rsvelmo::pool
