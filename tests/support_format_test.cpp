#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/failure.h"
#include "support/number_format.h"

namespace parvex {
namespace {

std::string grouped(double value, const char* thousands) {
  return format_grouped(value, {thousands, "?"});
}
std::string decimals(double value, const char* decimal) {
  return format_two_decimals(value, {"?", decimal});
}

// The statistics labels show both formats with either separator; these are the edge cases.
TEST(NumberFormat, GroupedRoundsAndSeparatesThousands) {
  EXPECT_EQ(grouped(0, ","), "");
  EXPECT_EQ(grouped(0.4, ","), "");
  EXPECT_EQ(grouped(401, ","), "401");
  EXPECT_EQ(grouped(999.5, ","), "1,000");
  EXPECT_EQ(grouped(1234567890123, "\u00A0"), "1\u00A0234\u00A0567\u00A0890\u00A0123");
  EXPECT_EQ(grouped(-1234.4, ","), "-1,234");
}

TEST(NumberFormat, TwoDecimalsAlwaysShowTheSeparator) {
  EXPECT_EQ(decimals(0.5, "."), ".5");
  EXPECT_EQ(decimals(0, "."), ".");
  EXPECT_EQ(decimals(-0.001, "."), ".");
  EXPECT_EQ(decimals(0.125, "."), ".13");
  EXPECT_EQ(decimals(59.999, "."), "60.");
  EXPECT_EQ(decimals(-12.3, "."), "-12.3");
}

TEST(NumberText, PrintWritesWhatValReadsBack) {
  const struct {
    double value;
    const char* text;
  } printed[] = {{0, " 0 "},
                 {1001, " 1001 "},
                 {-5, "-5 "},
                 {0.5, " .5 "},
                 {1.0 / 3, " .333333333333333 "},
                 {123456789012345, " 123456789012345 "},
                 {1e15, " 1E+15 "},
                 {-2.5e-7, "-2.5E-07 "}},
    read[] = {{1001, "1 0 0 1"}, {-350, "\t-3.5e2x"}, {12, "12abc"}, {1, "1,5"},
              {1, "1E"},         {1000, "1D3"},       {0, "abc"},    {0, ""},
              {0, "-"},          {0, "1e-400"},       {7, "+7"}};
  for (const auto& c : printed) {
    EXPECT_EQ(print_number(c.value), c.text);
    EXPECT_NEAR(val(print_number(c.value)), c.value, 1e-14 * std::fabs(c.value));  // 15 digits
  }
  for (const auto& c : read) EXPECT_EQ(val(c.text), c.value) << c.text;
  EXPECT_THROW(val("1e400"), Failure);
}

}  // namespace
}  // namespace parvex
