#include "driver/report.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace bandbench {
namespace {

std::string f8_2(double value) { return format_fixed(value, 8, 2); }

TEST(FormatFixed, RoundsHalfAwayFromZeroOnTheLastDecimal) {
    EXPECT_EQ(f8_2(0.125), "    0.13");
    EXPECT_EQ(f8_2(0.135), "    0.14");  // 0.13500000000000000888 -> 0.13500000
    EXPECT_EQ(f8_2(2.675), "    2.68");  // binary 2.67499999999999982236 -> 2.6750000
    EXPECT_EQ(f8_2(1.234), "    1.23");
    EXPECT_EQ(f8_2(12.345678), "   12.35");
    EXPECT_EQ(f8_2(0.5), "    0.50");
    EXPECT_EQ(f8_2(7.0), "    7.00");
}

TEST(FormatFixed, ExpandsToEightSignificantDigitsBeforeCutting) {
    // 1.004999999 has its ninth digit 9: the expansion 1.0050000 then rounds up.
    EXPECT_EQ(f8_2(1.004999999), "    1.01");
    // Ninth digit 4: the expansion 1.0049999 stays.
    EXPECT_EQ(f8_2(1.00499994), "    1.00");
    // The single-precision 0.005 is 0.0049999998882..., expanded 0.0049999999.
    EXPECT_EQ(f8_2(0.005F), "    0.00");
    EXPECT_EQ(f8_2(0.005), "    0.01");  // 0.005000000000000000104
    // A carry through all eight digits moves the decimal point.
    EXPECT_EQ(f8_2(9.9999999999), "   10.00");
}

TEST(FormatFixed, SmallValuesPrintZeroWithLeadingDigit) {
    EXPECT_EQ(f8_2(0.0), "    0.00");
    EXPECT_EQ(f8_2(0.0049), "    0.00");
    EXPECT_EQ(f8_2(0.004999F), "    0.00");
    EXPECT_EQ(f8_2(1.0e-300), "    0.00");
    EXPECT_EQ(f8_2(0.05), "    0.05");
}

TEST(FormatFixed, LargestValuesAndOverflow) {
    EXPECT_EQ(f8_2(99999.99), "99999.99");
    EXPECT_EQ(f8_2(12345.678), "12345.68");
    EXPECT_EQ(f8_2(99999.99F), "99999.99");  // 99999.9921875
    EXPECT_EQ(f8_2(99999.995), "********");
    EXPECT_EQ(f8_2(100000.0), "********");
    EXPECT_EQ(f8_2(1.0e30), "********");
    EXPECT_EQ(f8_2(std::numeric_limits<double>::max()), "********");
    EXPECT_EQ(f8_2(std::numeric_limits<double>::infinity()), "********");
    EXPECT_EQ(f8_2(std::numeric_limits<double>::quiet_NaN()), "********");
}

TEST(FormatFixed, NegativeValuesCarryTheirSign) {
    EXPECT_EQ(f8_2(-1.5), "   -1.50");
    EXPECT_EQ(f8_2(-0.125), "   -0.13");
    EXPECT_EQ(f8_2(-9999.99), "-9999.99");
    EXPECT_EQ(f8_2(-99999.99), "********");
    EXPECT_EQ(f8_2(-0.0), "    0.00");
}

TEST(FormatInteger, RightAlignsAndOverflowsToAsterisks) {
    EXPECT_EQ(format_integer(1, 2), " 1");
    EXPECT_EQ(format_integer(12, 2), "12");
    EXPECT_EQ(format_integer(99, 2), "99");
    EXPECT_EQ(format_integer(100, 2), "**");
    EXPECT_EQ(format_integer(-1, 2), "-1");
    EXPECT_EQ(format_integer(-10, 2), "**");
    EXPECT_EQ(format_integer(0, 2), " 0");
    EXPECT_EQ(format_integer(-2147483647 - 1, 12), " -2147483648");
}

TEST(ReportLines, SizeLines) {
    const std::string equations = equations_line(2000000);
    EXPECT_EQ(equations, " number of equations:      2000000\r\n");
    EXPECT_EQ(equations.size() - 2, 34U);
    const std::string bandwidth = half_bandwidth_line(8);
    EXPECT_EQ(bandwidth, " Half bandwidth:            8\r\n");
    EXPECT_EQ(bandwidth.size() - 2, 29U);
    EXPECT_EQ(free_form_line("x", -5), " x          -5\r\n");
}

TEST(ReportLines, SeparatorAndAllocationFailure) {
    EXPECT_EQ(separator_line(), " \r\n");
    EXPECT_EQ(allocation_failure_line(), " Unable to allocate memory\r\n");
}

TEST(ReportLines, TeamSizeSingularOnlyForOne) {
    EXPECT_EQ(team_size_line(1), " Processor:  1\r\n");
    EXPECT_EQ(team_size_line(2), " Processors:  2\r\n");
    EXPECT_EQ(team_size_line(12), " Processors: 12\r\n");
    EXPECT_EQ(team_size_line(100), " Processors: **\r\n");
}

TEST(ReportLines, TimingLines) {
    EXPECT_EQ(elapsed_line(1.234F), " Elapsed Time (Seconds):     1.23\r\n");
    EXPECT_EQ(user_time_line(0.5F), " CPU Time in User Mode (Seconds):     0.50\r\n");
    EXPECT_EQ(kernel_time_line(12.345F), " CPU Time in Kernel Mode (Seconds):    12.35\r\n");
    EXPECT_EQ(total_time_line(12.85F), " Total CPU Time (Seconds):    12.85\r\n");
    EXPECT_EQ(elapsed_line(100000.0F), " Elapsed Time (Seconds): ********\r\n");
}

}  // namespace
}  // namespace bandbench
