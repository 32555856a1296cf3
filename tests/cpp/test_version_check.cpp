// Comparison of built-for and running interpreter versions, and the warning.
#include <gtest/gtest.h>

#include <string>

#include "version_check.hpp"

using tavni::mt_map::version_mismatch_message;
using tavni::mt_map::versions_match;

namespace {

struct VersionCase {
    const char *built_for, *running;
    bool match;
    const char *shown;  // running version as the warning shows it
};

class VersionCheck : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionCheck, ComparesAndFormats) {
    const VersionCase c = GetParam();
    EXPECT_EQ(versions_match(c.built_for, c.running), c.match);
    char message[200];
    version_mismatch_message(message, sizeof message, c.built_for, "tavni.mt_map.mpf", c.running);
    EXPECT_EQ(std::string(message), std::string("compiletime version ") + c.built_for +
                                        " of module 'tavni.mt_map.mpf' does not match "
                                        "runtime version " +
                                        c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionCheck,
    ::testing::Values(
        VersionCase{"3.11", "3.11.7 (main, Dec  1 2026, 10:00:00) [GCC 12.2.0]", true, "3.11"},
        VersionCase{"3.11", "3.11", true, "3.11"},
        VersionCase{"3.11", "3.12.1 (main)", false, "3.12"},
        VersionCase{"3.11", "3.1", false, "3.1"}, VersionCase{"3.11", "3.110", false, "3.11"},
        VersionCase{"3.1", "3.11.2", false, "3.11"}, VersionCase{"3.11", "3.9.18", false, "3.9"},
        VersionCase{"3.11", "4.0b1", false, "4.0"}, VersionCase{"3.11", "", false, ""}),
    [](const ::testing::TestParamInfo<VersionCase> &info) { return std::to_string(info.index); });

TEST(VersionCheck, LongModuleNamesAreCut) {
    const std::string long_name(300, 'm');
    char message[400];
    version_mismatch_message(message, sizeof message, "3.11", long_name.c_str(), "3.12");
    EXPECT_NE(std::string(message).find("module '" + std::string(100, 'm') + "' does"),
              std::string::npos);
}

}  // namespace
