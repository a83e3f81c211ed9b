#include "logging.hpp"

#include <atomic>
#include <utility>

namespace rsvelmo::logging {

namespace {

std::atomic<Level> g_max_level{Level::Off};

Sink& sink() {
    static Sink instance;
    return instance;
}

}  // namespace

Level max_level() { return g_max_level.load(std::memory_order_relaxed); }

void set_max_level(Level level) { g_max_level.store(level, std::memory_order_relaxed); }

void set_sink(Sink new_sink) { sink() = std::move(new_sink); }

bool enabled(Level level) { return level != Level::Off && level <= max_level(); }

void log(Level level, const Source& source, std::uint32_t line, std::string message) {
    if (!enabled(level)) return;
    if (const Sink& s = sink()) s(Record{level, source.target, source.file, line, std::move(message)});
}

}  // namespace rsvelmo::logging
