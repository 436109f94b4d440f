// The benchmark's own rules: how its command line is read and how the figures are made.
// A slip here would print wrong figures without anything failing.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "BenchFigures.h"

using namespace lintaro::bench;

namespace {

struct LineCase {
    const char* name;
    std::vector<std::string> args;
    int roundTrips;
    std::size_t bytes;
    int idleMs;
    int repeat;
    bool bridge;
    bool socat;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLine, sets_the_workload) {
    const LineCase& c = GetParam();
    const std::optional<Options> o = ParseOptions(c.args);
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->workload.roundTrips, c.roundTrips);
    EXPECT_EQ(o->workload.bytesEachWay, c.bytes);
    EXPECT_EQ(o->workload.idleMs, c.idleMs);
    EXPECT_EQ(o->repeat, c.repeat);
    EXPECT_EQ(o->runBridge, c.bridge);
    EXPECT_EQ(o->runSocat, c.socat);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLine,
    ::testing::Values(LineCase{"defaults", {}, 1000, 8u << 20, 3000, 3, true, true},
                      LineCase{"quick", {"--quick"}, 200, 1u << 20, 1000, 1, true, true},
                      LineCase{"smoke", {"--smoke"}, 10, 64 * 1024, 200, 1, true, true},
                      // An explicit option wins over the preset, before or after it.
                      LineCase{"bytes_before_preset", {"--bytes", "4M", "--quick"}, 200, 4u << 20, 1000, 1, true, true},
                      LineCase{"bytes_after_preset", {"--quick", "--bytes", "4M"}, 200, 4u << 20, 1000, 1, true, true},
                      LineCase{"repeat_before_preset", {"--repeat", "5", "--smoke"}, 10, 64 * 1024, 200, 5, true, true},
                      LineCase{"plain_count_and_no_idle", {"--bytes", "3000", "--idle-ms", "0"}, 1000, 3000, 0, 3, true, true},
                      LineCase{"kilo_suffix", {"--round-trips", "7", "--bytes", "2k"}, 7, 2048, 3000, 3, true, true},
                      LineCase{"socat_only", {"--socat-only"}, 1000, 8u << 20, 3000, 3, false, true},
                      LineCase{"bridge_only", {"--bridge-only", "--smoke"}, 10, 64 * 1024, 200, 1, true, false}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(CommandLine, refuses_what_it_cannot_run) {
    const std::vector<std::vector<std::string>> wrong{
        {"--frobnicate"},
        {"--bytes"},                       // value missing
        {"--bytes", "-5"},                 // negative would wrap around
        {"--bytes", "10X"},                // unknown suffix
        {"--bytes", "0"},                  // nothing to move
        {"--repeat", "0"},                 // no run
        {"--log-pairs", "0"},              // no pair to compare
        {"--round-trips", "3000000000"},   // beyond an int
        {"--bridge-only", "--socat-only"}, // nothing measured
        {"--socat"},                       // path missing
    };
    for (const auto& args : wrong) {
        std::string line;
        for (const std::string& a : args) line += a + ' ';
        EXPECT_FALSE(ParseOptions(args).has_value()) << line;
    }
}

TEST(CommandLine, keeps_socat_settings) {
    const std::optional<Options> o =
        ParseOptions({"--socat", "/opt/socat", "--socat-block", "32K", "--socat-nagle"});
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->socat, "/opt/socat");
    EXPECT_EQ(o->socatBlock, 32768);
    EXPECT_FALSE(o->socatNodelay);
}

std::vector<double> OneTo(int n) {
    std::vector<double> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), 1.0);
    return v;
}

TEST(Figures, percentile_is_the_nearest_rank) {
    struct Case {
        std::vector<double> sorted;
        double p;
        double want;
    };
    const std::vector<Case> cases{
        {OneTo(100), 0.50, 50}, {OneTo(100), 0.99, 99}, {OneTo(100), 1.0, 100},
        {OneTo(1000), 0.99, 990}, {OneTo(2), 0.50, 1}, {OneTo(3), 0.50, 2},
        {{7}, 0.99, 7}, {OneTo(10), 0.0, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Percentile(c.sorted, c.p), c.want) << c.sorted.size() << " values, p" << c.p;
    }
    EXPECT_TRUE(std::isnan(Percentile({}, 0.5)));
}

TEST(Figures, mismatch_counts_missing_differing_and_extra_bytes) {
    struct Case {
        std::string want;
        std::string got;
        std::uint64_t bad;
    };
    const std::vector<Case> cases{
        {"abcdef", "abcdef", 0}, {"abcdef", "abXdeY", 2}, {"abcdef", "abc", 3},
        {"abc", "abcdef", 3},    {"abcdef", "", 6},       {std::string("a\0b", 3), std::string("a\1b", 3), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(Mismatch(c.want, c.got), c.bad) << c.want << " / " << c.got;
}

TEST(Figures, runs_combine_into_medians_sums_and_the_first_error) {
    Figures a;
    a.completed = true;
    a.rttP50Us = 10;
    a.toClientMBps = 30;
    a.lost = 0;
    Figures b = a;
    b.rttP50Us = 40;
    b.toClientMBps = NAN;  // that run never finished the phase
    b.lost = 5;
    b.completed = false;
    b.error = "device -> client: not everything arrived in time";
    Figures c = a;
    c.rttP50Us = 20;
    c.toClientMBps = 50;
    c.lost = 2;

    const Figures all = Combine({a, b, c});
    EXPECT_EQ(all.rttP50Us, 20);       // median of three
    EXPECT_EQ(all.toClientMBps, 40);   // median of the two that exist
    EXPECT_TRUE(std::isnan(all.rttP99Us));
    EXPECT_EQ(all.lost, 7u);
    EXPECT_FALSE(all.completed);
    EXPECT_EQ(all.error, b.error);

    // The spread beside the median: the runs that have the figure.
    EXPECT_EQ(Spread({a, b, c}, &Figures::toClientMBps), std::make_pair(30.0, 50.0));
    EXPECT_TRUE(std::isnan(Spread({a, b, c}, &Figures::rttP99Us).first));

    EXPECT_TRUE(Combine({a, c}).completed);
    EXPECT_FALSE(Combine({}).completed);
}

}  // namespace
