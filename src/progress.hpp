// Progress reports and stop requests of one running analysis. The analysis
// counts its work from any thread; the thread that started it (and only
// that thread) hands the counts to an observer now and then, and the
// observer may ask the analysis to stop. Worker tasks look at the stop flag
// and return early; the driver then unwinds with `Interrupted`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>

namespace rsvelmo {

enum class Stage : std::uint8_t { Permutations, Multilevel };

// "permutations" or "multilevel".
const char* stage_name(Stage stage);

// Receives the progress of an analysis on the thread that started it.
class ProgressObserver {
public:
    virtual ~ProgressObserver() = default;
    // `done` of `total` units of the stage (permutations, or multilevel
    // estimators) are finished. Returning false stops the analysis.
    virtual bool checkpoint(Stage stage, std::uint64_t done, std::uint64_t total) = 0;
};

// Thrown by the driver when the observer asked it to stop.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "analysis interrupted"; }
};

// The shared state of one analysis: counts, the stop flag and the pacing of
// the observer's calls. Without an observer it only counts.
class Progress {
public:
    explicit Progress(ProgressObserver* observer = nullptr) : observer_(observer) {}

    // Starts a stage of `total` units and tells the observer at once.
    void begin(Stage stage, std::uint64_t total);
    // Marks the stage complete and tells the observer at once.
    void finish();
    // Counts finished units; any thread.
    void advance(std::uint64_t units) { done_.fetch_add(units, std::memory_order_relaxed); }
    // Whether the analysis should stop; any thread.
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

    // Calling thread only: tells the observer when enough time has passed
    // since its last call (or at once with `force`).
    void poll(bool force = false);
    // Calling thread only: throws Interrupted when a stop was asked for.
    void throw_if_stopped() const {
        if (stopped()) throw Interrupted();
    }

private:
    ProgressObserver* observer_;
    Stage stage_ = Stage::Permutations;
    std::uint64_t total_ = 0;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<bool> stopped_{false};
    std::chrono::steady_clock::time_point last_call_{};
};

}  // namespace rsvelmo
