#include "pool.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <numeric>
#include <thread>
#include <vector>

namespace rsvelmo {
namespace {

TEST(Pool, SeveralCallersAtOnceEachRunEveryIndexOnce) {
    pool::create(3);
    EXPECT_FALSE(pool::create(5));
    EXPECT_EQ(pool::thread_count(), 3u);
    pool::run(0, [&](std::size_t, std::size_t) { FAIL(); });
    std::vector<std::vector<int>> hits(4, std::vector<int>(5000, 0));
    std::vector<std::thread> callers;
    for (auto& mine : hits) {
        callers.emplace_back([&mine] {
            for (int round = 0; round < 20; ++round)
                pool::run(mine.size(), [&](std::size_t i, std::size_t) { mine[i] += 1; });
        });
    }
    for (auto& c : callers) c.join();
    for (const auto& mine : hits) EXPECT_TRUE(std::all_of(mine.begin(), mine.end(), [](int h) { return h == 20; }));
}

// Per-worker scratch indexed by slot is safe only if no two running tasks
// share a slot; the loops of one call run in order of their tasks.
TEST(Pool, SlotsAreNeverSharedAtOnceAndLoopsRunEveryTask) {
    const std::size_t slots = pool::thread_count();
    std::vector<std::atomic<int>> busy(slots);
    std::atomic<bool> shared{false}, out_of_range{false};
    std::vector<int> first(300, 0), second(7, 0);
    const auto occupy = [&](std::size_t slot) {
        if (slot >= slots) return out_of_range.store(true);
        if (busy[slot].fetch_add(1) != 0) shared.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        busy[slot].fetch_sub(1);
    };
    pool::run({{first.size(), [&](std::size_t i, std::size_t slot) { occupy(slot), first[i] += 1; }},
               {0, [&](std::size_t, std::size_t) { FAIL(); }},
               {second.size(), [&](std::size_t i, std::size_t slot) { occupy(slot), second[i] += 1; }}});
    EXPECT_FALSE(shared.load());
    EXPECT_FALSE(out_of_range.load());
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](int h) { return h == 1; }));
    EXPECT_TRUE(std::all_of(second.begin(), second.end(), [](int h) { return h == 1; }));
}

TEST(Pool, AWaitingCallerIsCalledBackUntilItsTasksFinish) {
    std::atomic<int> calls{0};
    std::vector<std::thread::id> ids(4);
    pool::run(
        ids.size(),
        [&](std::size_t i, std::size_t) {
            ids[i] = std::this_thread::get_id();
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        },
        [&] { ++calls; });
    EXPECT_GE(calls.load(), 2);
    for (const auto& id : ids) EXPECT_NE(id, std::this_thread::get_id());  // the caller only waits
}

// A task that throws on a worker (a failed allocation) must not end the
// process: the caller gets the exception after the join and the pool runs
// the next loop as before. Also from a loop a task started. (How many later
// tasks are skipped depends on timing, so it is not asserted.)
TEST(Pool, AnExceptionOfATaskReachesTheCaller) {
    pool::create(3);
    for (const bool nested : {false, true}) {
        const auto failing = [](std::size_t i, std::size_t) {
            if (i == 3) throw std::bad_alloc();
        };
        const auto loop = [&] { pool::run(1000, failing); };
        if (nested) {
            EXPECT_THROW(pool::run(1, [&](std::size_t, std::size_t) { loop(); }), std::bad_alloc);
        } else {
            EXPECT_THROW(loop(), std::bad_alloc);
        }
        std::atomic<std::size_t> after{0};
        pool::run(100, [&](std::size_t, std::size_t) { after.fetch_add(1); });
        EXPECT_EQ(after.load(), 100u);
    }
}

TEST(Pool, AForkedChildGetsAFreshPoolOfTheSameSize) {
    ASSERT_TRUE(pool::create(2));
    std::vector<int> before(100);
    pool::run(before.size(), [&](std::size_t i, std::size_t) { before[i] = 1; });
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a hang fails the test instead of stalling it
        std::vector<std::size_t> out(1000);
        pool::run(out.size(), [&](std::size_t i, std::size_t) { out[i] = i; });
        const bool ok = pool::thread_count() == 2 && !pool::create(7) && pool::thread_count() == 2 &&
                        std::accumulate(out.begin(), out.end(), std::size_t{0}) == 999 * 1000 / 2;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    pool::run(before.size(), [&](std::size_t i, std::size_t) { before[i] += 1; });  // the parent's pool still works
    EXPECT_EQ(std::accumulate(before.begin(), before.end(), 0), 200);
}

}  // namespace
}  // namespace rsvelmo
