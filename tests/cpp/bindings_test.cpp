#include "bindings.hpp"

#include <gtest/gtest.h>

namespace rsvelmo {
namespace {

TEST(InterfaceMode, CaseInsensitiveWithoutTrimming) {
    EXPECT_EQ(parse_interface_mode("MULTILEVEL").value(), InterfaceMode::Multilevel);
    EXPECT_EQ(parse_interface_mode("Simple").value(), InterfaceMode::Simple);
    EXPECT_EQ(parse_interface_mode("velmo").value(), InterfaceMode::Velmo);
    EXPECT_EQ(parse_interface_mode("Simple ").error(),
              "Invalid mode 'simple '. Expected one of: velmo, multilevel, simple.");
}

TEST(InterfaceMode, FullUnicodeLowerCase) {
    EXPECT_EQ(unicode_lower("\xC3\x89TAT"), "\xC3\xA9tat");            // ÉTAT -> état
    EXPECT_EQ(unicode_lower("\xC4\xB0"), "i\xCC\x87");                 // İ -> i + combining dot
    EXPECT_EQ(unicode_lower("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");  // Deseret capital long I
    EXPECT_EQ(parse_interface_mode("\xE2\x84\xAA").error(),            // Kelvin sign -> k
              "Invalid mode 'k'. Expected one of: velmo, multilevel, simple.");
}

}  // namespace
}  // namespace rsvelmo
