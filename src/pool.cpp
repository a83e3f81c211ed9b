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
#include <exception>
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
    // Changed under Pool::mutex_; read without it by a caller that spins.
    std::atomic<std::size_t> finished{0};  // tasks done
    std::atomic<std::size_t> holders{0};   // threads taking tasks from it
    bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }
    bool done() const {
        return finished.load(std::memory_order_acquire) == count && holders.load(std::memory_order_acquire) == 0;
    }

    // The first exception a task threw; once there is one, the tasks not
    // yet started are skipped. Read by the caller after the join.
    std::atomic<bool> failed{false};
    std::exception_ptr failure;

    // Runs the t-th task of the job, counting through the loops in order.
    // An exception must not leave a worker thread (that would end the
    // process): it is kept for the thread that waits for the loop.
    void run_task(std::size_t t, std::size_t slot) {
        if (failed.load(std::memory_order_relaxed)) return;
        try {
            for (const Loop& loop : loops) {
                if (t < loop.count) return loop.task(t, slot);
                t -= loop.count;
            }
        } catch (...) {
            if (!failed.exchange(true)) failure = std::current_exception();
        }
    }

    void rethrow() const {
        if (failure) std::rethrow_exception(failure);
    }
};

// How often a waiting caller gets its `waiting` call.
constexpr auto kWaitSlice = std::chrono::milliseconds(10);
// How long an idle worker looks for a new loop before it sleeps. A loop
// started by a task (one pass of a multilevel estimator: tens of
// microseconds) follows the last within microseconds; waking a sleeping
// thread costs about as much as the loop.
constexpr auto kSpinFor = std::chrono::microseconds(200);

// The slot of the pool worker this thread is; none for other threads.
constexpr std::size_t kNotAWorker = ~std::size_t{0};
thread_local std::size_t t_worker_slot = kNotAWorker;

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
        const std::size_t own_slot = t_worker_slot;
        if (workers_.empty() || (own_slot != kNotAWorker && idle_.load(std::memory_order_relaxed) == 0)) {
            // No workers, or a loop started by a task while every other
            // worker is busy: handing tasks out would only cost time.
            for (std::size_t t = 0; t < job.count; ++t) job.run_task(t, own_slot == kNotAWorker ? 0 : own_slot);
            job.rethrow();
            return;
        }
        std::unique_lock lock(mutex_);
        push(&job);
        if (own_slot != kNotAWorker) {
            // A loop started by a task: its worker takes the loop's tasks
            // itself (under its own slot) while idle workers join in, and
            // waits for their last tasks without sleeping.
            take_tasks(job, own_slot, lock);
            lock.unlock();
            while (!job.done()) spin_pause();
            lock.lock();  // the last holder has left its critical section
        } else {
            while (!job.done()) {
                if (!waiting) {
                    job_done_.wait(lock, [&] { return job.done(); });
                    break;
                }
                if (job_done_.wait_for(lock, kWaitSlice, [&] { return job.done(); })) break;
                lock.unlock();
                waiting();
                lock.lock();
            }
        }
        std::erase(queue_, &job);
        queued_.store(queue_.size(), std::memory_order_relaxed);
        lock.unlock();
        job.rethrow();
    }

private:
    void push(Job* job) {
        queue_.push_back(job);
        queued_.store(queue_.size(), std::memory_order_relaxed);
        work_ready_.notify_all();
    }

    void pop_front() {
        queue_.pop_front();
        queued_.store(queue_.size(), std::memory_order_relaxed);
    }

    void work(std::size_t slot) {
        t_worker_slot = slot;
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.notify_all();
        while (true) {
            if (queue_.empty()) wait_for_work(lock);
            Job* job = queue_.front();
            if (job->exhausted()) {  // every task taken: let the others come forward
                pop_front();
                continue;
            }
            take_tasks(*job, slot, lock);
        }
    }

    // Returns, with the lock held, once a loop is queued: after spinning a
    // while, then asleep.
    void wait_for_work(std::unique_lock<std::mutex>& lock) {
        idle_.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + kSpinFor;
        for (int round = 0; queued_.load(std::memory_order_relaxed) == 0; ++round) {
            spin_pause();
            if (round % 64 == 63 && std::chrono::steady_clock::now() > until) break;
        }
        lock.lock();
        work_ready_.wait(lock, [&] { return !queue_.empty(); });
        idle_.fetch_sub(1, std::memory_order_relaxed);
    }

    // Runs tasks of the job until none is left; called and returns with the lock held.
    void take_tasks(Job& job, std::size_t slot, std::unique_lock<std::mutex>& lock) {
        job.holders.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        std::size_t ran = 0;
        for (std::size_t i; (i = job.next.fetch_add(1, std::memory_order_relaxed)) < job.count; ++ran) {
            job.run_task(i, slot);
        }
        lock.lock();
        job.finished.fetch_add(ran, std::memory_order_release);
        job.holders.fetch_sub(1, std::memory_order_release);
        if (!queue_.empty() && queue_.front() == &job) pop_front();
        if (job.done()) job_done_.notify_all();
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;     // workers started
    std::condition_variable work_ready_;  // a loop was queued
    std::condition_variable job_done_;    // a loop finished
    std::size_t started_ = 0;
    std::deque<Job*> queue_;
    std::atomic<std::size_t> queued_{0};  // queue_.size(), for workers that spin
    std::atomic<std::size_t> idle_{0};    // workers waiting for a loop
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
