#include "support/number_format.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/failure.h"

namespace parvex {
namespace {

// emcc's C++ library has no floating-point to_chars and from_chars; its C library's printf and
// strtod round exactly too, and it has no locale that would change the decimal point.
#if defined(__EMSCRIPTEN__)
std::string print_double(const char* format, double value) {
  char buf[512];
  const int n = std::snprintf(buf, sizeof buf, format, value);
  return std::string(buf, static_cast<size_t>(n));
}
#endif

void require_finite(double value) {
  if (!std::isfinite(value)) raise(err::kOverflow, "Overflow");
}

// Decimal digits of a whole, non-negative value, exactly as the double holds it.
std::string whole_digits(double whole) {
#if defined(__EMSCRIPTEN__)
  return print_double("%.0f", whole);
#else
  char buf[512];
  const auto r = std::to_chars(buf, buf + sizeof buf, whole, std::chars_format::fixed, 0);
  return std::string(buf, r.ptr);
#endif
}

bool is_val_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string format_grouped(double value, const NumberSeparators& separators) {
  require_finite(value);
  const double rounded = std::round(value);  // halves away from zero, as the display formats do
  if (rounded == 0) return {};
  const std::string digits = whole_digits(std::fabs(rounded));
  std::string out = rounded < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += separators.thousands;
    out += digits[i];
  }
  return out;
}

std::string format_two_decimals(double value, const NumberSeparators& separators) {
  require_finite(value);
  const double magnitude = std::fabs(value);
  double whole = 0;
  int hundredths = 0;
  const double scaled = std::round(magnitude * 100);
  if (std::isfinite(scaled)) {
    const double rest = std::fmod(scaled, 100.0);
    hundredths = static_cast<int>(rest);
    whole = (scaled - rest) / 100;
  } else {
    whole = std::round(magnitude);  // so large that no decimals are left
  }
  std::string out;
  if (value < 0 && (whole != 0 || hundredths != 0)) out += '-';
  if (whole != 0) out += whole_digits(whole);
  out += separators.decimal;
  if (hundredths != 0) {
    out += static_cast<char>('0' + hundredths / 10);
    if (hundredths % 10 != 0) out += static_cast<char>('0' + hundredths % 10);
  }
  return out;
}

std::string print_number(double value) {
  require_finite(value);
  std::string out = value < 0 ? "-" : " ";
  if (value == 0) return " 0 ";

    // d.dddddddddddddde±x: 15 significant digits, correctly rounded.
#if defined(__EMSCRIPTEN__)
  const std::string sci = print_double("%.14e", std::fabs(value));
#else
  char buf[64];
  const auto r =
      std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, 14);
  const std::string sci(buf, r.ptr);
#endif
  const size_t e_pos = sci.find('e');
  std::string digits = sci.substr(0, 1) + sci.substr(2, e_pos - 2);
  const int exponent = std::atoi(sci.c_str() + e_pos + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (exponent >= 15 || exponent < -4) {
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int shown = std::abs(exponent);
    out += exponent < 0 ? "E-" : "E+";
    if (shown < 10) out += '0';
    out += std::to_string(shown);
  } else if (exponent >= 0) {
    const auto whole_count = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= whole_count) {
      out += digits + std::string(whole_count - digits.size(), '0');
    } else {
      out += digits.substr(0, whole_count) + "." + digits.substr(whole_count);
    }
  } else {
    out += "." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  }
  return out + " ";
}

double val(std::string_view text) {
  size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && is_val_blank(text[i])) ++i;
  };
  auto next_is = [&](auto predicate) {
    skip();
    return i < text.size() && predicate(text[i]);
  };

  std::string number;
  if (next_is([](char c) { return c == '-' || c == '+'; })) {
    if (text[i] == '-') number += '-';
    ++i;
  }
  // Decimal magnitude of the first significant digit, to tell overflow from underflow.
  long long first_significant = 0;
  bool significant = false;
  std::string whole;
  std::string fraction;
  while (next_is(is_digit)) whole += text[i++];
  if (next_is([](char c) { return c == '.'; })) {
    ++i;
    while (next_is(is_digit)) fraction += text[i++];
  }
  if (whole.empty() && fraction.empty()) return 0;
  for (size_t k = 0; k < whole.size() && !significant; ++k) {
    if (whole[k] != '0') {
      significant = true;
      first_significant = static_cast<long long>(whole.size() - k) - 1;
    }
  }
  for (size_t k = 0; k < fraction.size() && !significant; ++k) {
    if (fraction[k] != '0') {
      significant = true;
      first_significant = -static_cast<long long>(k) - 1;
    }
  }
  number += whole.empty() ? "0" : whole;
  if (!fraction.empty()) number += "." + fraction;

  // An exponent letter without digits ("1E") ends the number.
  if (next_is([](char c) { return c == 'E' || c == 'e' || c == 'D' || c == 'd'; })) {
    ++i;
    bool negative = false;
    if (next_is([](char c) { return c == '-' || c == '+'; })) negative = text[i++] == '-';
    long long exponent = 0;
    bool any = false;
    while (next_is(is_digit)) {
      any = true;
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (any) {
      if (negative) exponent = -exponent;
      number += "e" + std::to_string(exponent);
      first_significant += exponent;
    }
  }

  double result = 0;
#if defined(__EMSCRIPTEN__)
  errno = 0;
  result = std::strtod(number.c_str(), nullptr);
  if (errno == ERANGE) {
#else
  const auto r = std::from_chars(number.data(), number.data() + number.size(), result);
  if (r.ec == std::errc::result_out_of_range) {
#endif
    if (significant && first_significant > 0) raise(err::kOverflow, "Overflow");
    return 0;
  }
  return result;
}

}  // namespace parvex
