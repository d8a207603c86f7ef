// Number texts: the two display formats of the statistics labels, and the plain number form
// of text files (written as Print # writes a Double, read back as Val reads it).
#pragma once

#include <string>
#include <string_view>

#include "seams/services.h"

namespace parvex {

// "###,###,###": rounded to a whole number, thousands separator between groups of three, as
// many digits as needed; a value that rounds to 0 gives the empty text.
std::string format_grouped(double value, const NumberSeparators& separators);

// "##.##": at most two decimals, no leading zero, no trailing zeros, and the decimal separator
// always shown (45 -> "45.", 0.5 -> ".5", 0 -> ".").
std::string format_two_decimals(double value, const NumberSeparators& separators);

// A blank (or '-') for the sign, up to 15 significant digits with '.' as the decimal point and
// no point for a whole number, then a blank. Raises 6 (Overflow) for a value that is not finite.
std::string print_number(double value);

// The leading number of a text ('.' decimal point, optional E or D exponent), ignoring blanks,
// tabs and line feeds anywhere in it; 0 when the text does not start with a number.
// Raises 6 (Overflow) for a number beyond the range of a double.
double val(std::string_view text);

}  // namespace parvex
