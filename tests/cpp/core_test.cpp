#include "core.hpp"

#include <gtest/gtest.h>

namespace rsvelmo {
namespace {

TEST(RankedList, SortsDescendingWithTiesInInputOrder) {
    const RankedList ranked({"G1", "G2", "G3"}, {1.0, 2.0, 1.0});
    EXPECT_EQ(ranked.genes(), (std::vector<std::string>{"G2", "G1", "G3"}));
    EXPECT_EQ(ranked.scores(), (std::vector<double>{2.0, 1.0, 1.0}));

    const RankedList zeros({"neg", "pos"}, {-0.0, 0.0});  // a tie
    EXPECT_EQ(zeros.genes(), (std::vector<std::string>{"neg", "pos"}));
}

TEST(RankedList, PrepareWorkedExample) {
    const PreparedRanks p = RankedList({"a", "b"}, {3.0, 1.0}).prepare(1.0);
    EXPECT_EQ(p.scaled_weights, (std::vector<std::int64_t>{805306368, 268435456}));
    EXPECT_EQ(p.scaled_total, 1073741824);
}

TEST(RankedList, PrepareEdgeCases) {
    const PreparedRanks empty = RankedList().prepare(1.0);
    EXPECT_TRUE(empty.scaled_weights.empty());
    EXPECT_EQ(empty.scaled_total, 0);

    // All zero: the scale factor is infinite and 0 * inf is NaN, which converts to 0.
    const PreparedRanks zero = RankedList({"a", "b"}, {0.0, -0.0}).prepare(1.0);
    EXPECT_EQ(zero.scaled_weights, (std::vector<std::int64_t>{0, 0}));
    EXPECT_EQ(zero.scaled_total, 0);

    // p = 0: every weight is 1, zero scores included; f = floor(2^30 / 3).
    const PreparedRanks flat = RankedList({"a", "b", "c"}, {5.0, 0.0, -2.0}).prepare(0.0);
    EXPECT_EQ(flat.scaled_weights, (std::vector<std::int64_t>{357913941, 357913941, 357913941}));

    // S = 2^31: f = 0.5 is used without the floor; halves round to even.
    const PreparedRanks halves = RankedList({"a", "b", "c"}, {2147483645.0, 1.0, 2.0}).prepare(1.0);
    // Rank order 2147483645, 2, 1: 1073741822.5 -> 1073741822, 1, 0.5 -> 0.
    EXPECT_EQ(halves.scaled_weights, (std::vector<std::int64_t>{1073741822, 1, 0}));

    // S = 2^30 exactly: f = 1; 2.5 -> 2 and 3.5 -> 4.
    const double rest = 1073741824.0 - 6.0;
    const PreparedRanks even = RankedList({"a", "b", "c"}, {rest, 3.5, 2.5}).prepare(1.0);
    EXPECT_EQ(even.scaled_weights[1], 4);
    EXPECT_EQ(even.scaled_weights[2], 2);
}

}  // namespace
}  // namespace rsvelmo
