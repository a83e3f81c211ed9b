#include "logging.hpp"

#include <gtest/gtest.h>

namespace rsvelmo {
namespace {

TEST(Logging, StartsOffAndFiltersByLevel) {
    EXPECT_EQ(logging::max_level(), logging::Level::Off);
    std::vector<logging::Level> seen;
    logging::set_sink([&](const logging::Record& r) { seen.push_back(r.level); });
    logging::emit({logging::Level::Error, "t", "t", "f", 1, "m"});
    EXPECT_TRUE(seen.empty());
    logging::set_max_level(logging::Level::Info);
    for (auto level : {logging::Level::Error, logging::Level::Warning, logging::Level::Info, logging::Level::Debug,
                       logging::Level::Trace}) {
        logging::emit({level, "t", "t", "f", 1, "m"});
    }
    EXPECT_EQ(seen,
              (std::vector<logging::Level>{logging::Level::Error, logging::Level::Warning, logging::Level::Info}));
    logging::set_sink({});
    logging::emit({logging::Level::Error, "t", "t", "f", 1, "m"});  // no sink: dropped
    logging::set_max_level(logging::Level::Off);
}

}  // namespace
}  // namespace rsvelmo
