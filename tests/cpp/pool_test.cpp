#include "pool.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <thread>
#include <vector>

#include "bindings.hpp"

namespace rsvelmo {
namespace {

void set_or_unset(const char* name, const char* value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// The pool is per process and is made once: each case runs in a forked child
// that starts without a pool.
void expect_size_in_child(const char* num_threads, const char* rs_num_cpus, std::uint64_t nproc, std::size_t expected) {
    EXPECT_EXIT(
        {
            set_or_unset("RAYON_NUM_THREADS", num_threads);
            set_or_unset("RAYON_RS_NUM_CPUS", rs_num_cpus);
            configure_pool(nproc);
            const std::size_t size = pool::thread_count();  // made here when nproc is 0
            configure_pool(8);                              // a later request has no effect
            std::exit(size == expected && pool::thread_count() == expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << (num_threads ? num_threads : "-") << " " << (rs_num_cpus ? rs_num_cpus : "-") << " " << nproc;
}

TEST(PoolDeathTest, SizeRules) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    set_or_unset("RAYON_NUM_THREADS", nullptr);
    set_or_unset("RAYON_RS_NUM_CPUS", nullptr);
    const std::size_t hw = pool::default_size();
    expect_size_in_child(nullptr, nullptr, 2, 2);
    expect_size_in_child("3", nullptr, 0, 3);
    expect_size_in_child("0", "5", 0, hw);    // 0 means the hardware threads, the second variable unread
    expect_size_in_child("lots", "5", 0, 5);  // not an integer: ignored
    expect_size_in_child("-2", "5", 0, 5);
    expect_size_in_child(nullptr, "0", 0, hw);
    expect_size_in_child("3", nullptr, 4, 4);                              // nproc wins over the default
    expect_size_in_child(nullptr, nullptr, 1000000, pool::max_threads());  // a huge request is clamped
    expect_size_in_child("1000000", nullptr, 0, pool::max_threads());
    EXPECT_EQ(pool::max_threads(), std::max<std::size_t>(64, 8 * hw));
}

TEST(Pool, SeveralCallersAtOnceEachRunEveryIndexOnce) {
    pool::create(3);
    EXPECT_FALSE(pool::create(5));
    EXPECT_EQ(pool::thread_count(), 3u);
    pool::run(0, [&](std::size_t) { FAIL(); });
    std::vector<std::vector<int>> hits(4, std::vector<int>(5000, 0));
    std::vector<std::thread> callers;
    for (auto& mine : hits) {
        callers.emplace_back([&mine] {
            for (int round = 0; round < 20; ++round) pool::run(mine.size(), [&](std::size_t i) { mine[i] += 1; });
        });
    }
    for (auto& c : callers) c.join();
    for (const auto& mine : hits) EXPECT_TRUE(std::all_of(mine.begin(), mine.end(), [](int h) { return h == 20; }));
}

TEST(Pool, AWaitingCallerIsCalledBackUntilItsTasksFinish) {
    std::atomic<int> calls{0};
    std::vector<std::thread::id> ids(4);
    pool::run(
        ids.size(),
        [&](std::size_t i) {
            ids[i] = std::this_thread::get_id();
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        },
        [&] { ++calls; });
    EXPECT_GE(calls.load(), 2);
    for (const auto& id : ids) EXPECT_NE(id, std::this_thread::get_id());  // the caller only waits
}

TEST(Pool, AForkedChildGetsAFreshPoolOfTheSameSize) {
    ASSERT_TRUE(pool::create(2));
    std::vector<int> before(100);
    pool::run(before.size(), [&](std::size_t i) { before[i] = 1; });
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a hang fails the test instead of stalling it
        std::vector<std::size_t> out(1000);
        pool::run(out.size(), [&](std::size_t i) { out[i] = i; });
        const bool ok = pool::thread_count() == 2 && !pool::create(7) && pool::thread_count() == 2 &&
                        std::accumulate(out.begin(), out.end(), std::size_t{0}) == 999 * 1000 / 2;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    pool::run(before.size(), [&](std::size_t i) { before[i] += 1; });  // the parent's pool still works
    EXPECT_EQ(std::accumulate(before.begin(), before.end(), 0), 200);
}

}  // namespace
}  // namespace rsvelmo
