// The process-wide logging facility. The library only emits records; a host
// that wants them raises the maximum level and installs a sink. Until then
// (the starting state) nothing is formatted or delivered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace rsvelmo::logging {

// Ordered by verbosity: a record passes when its level <= the maximum level.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warning = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
    Level level;
    std::string target;  // emitting module, e.g. "rsvelmo::algo_support"
    std::string file;
    std::uint32_t line;
    std::string message;
};

using Sink = std::function<void(const Record&)>;

Level max_level();
void set_max_level(Level level);
// Replaces the sink; an empty function removes it. Not thread-safe against
// concurrent emission: install sinks before starting analyses.
void set_sink(Sink sink);

// The module a record comes from.
struct Source {
    const char* target;  // e.g. "rsvelmo::algo_support"
    const char* file;    // e.g. "src/algo_support.cpp"
};

// True when a record of this level would be delivered.
bool enabled(Level level);

// Delivers a record of the source's line (__LINE__) when its level is on.
// Callers whose message is costly to build ask enabled() first.
void log(Level level, const Source& source, std::uint32_t line, std::string message);

}  // namespace rsvelmo::logging
