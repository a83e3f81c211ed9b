#include "progress.hpp"

#include <algorithm>

namespace rsvelmo {

namespace {

// The observer hears from a running stage at least this often (the calling
// thread checks for signals there, so this bounds the reaction to Ctrl-C).
constexpr auto kPollInterval = std::chrono::milliseconds(50);

}  // namespace

const char* stage_name(Stage stage) { return stage == Stage::Permutations ? "permutations" : "multilevel"; }

void Progress::begin(Stage stage, std::uint64_t total) {
    stage_ = stage;
    total_ = total;
    done_.store(0, std::memory_order_relaxed);
    poll(true);
}

void Progress::finish() {
    done_.store(total_, std::memory_order_relaxed);
    poll(true);
}

void Progress::poll(bool force) {
    if (observer_ == nullptr || stopped()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_call_ < kPollInterval) return;
    last_call_ = now;
    const std::uint64_t done = std::min(done_.load(std::memory_order_relaxed), total_);
    if (!observer_->checkpoint(stage_, done, total_)) stopped_.store(true, std::memory_order_relaxed);
}

}  // namespace rsvelmo
