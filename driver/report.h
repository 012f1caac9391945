// The benchmark report, one function per kind of line.  Every line ends with
// carriage return and line feed.
//
// Free-form lines start with one blank; a text item follows verbatim and an
// integer item right-aligned in 12 columns.  Formatted lines hold their text
// verbatim and their numbers in fixed fields: Iw (an integer right-aligned in
// w columns) and Fw.d (a real right-aligned in w columns with d decimals).  A
// number that does not fit its field is written as w asterisks.
#pragma once

#include <string>
#include <string_view>

namespace bandbench {

inline constexpr std::string_view LINE_END = "\r\n";

/// Columns of an integer item on a free-form line.
inline constexpr int FREE_FORM_INTEGER_WIDTH = 12;

/// Iw: `value` right-aligned in `width` columns, with a minus sign when
/// negative; `width` asterisks when it does not fit.
std::string format_integer(int value, int width);

/// Fw.d: `value` right-aligned in `width` columns with `decimals` decimals, a
/// "0" before the decimal point when the magnitude is below 1 and a minus
/// sign when negative.  The value is first expanded to 8 significant decimal
/// digits, then cut to `decimals` decimals; at both steps a first dropped
/// digit of 5 or more raises the magnitude of the last kept digit.  `width`
/// asterisks when the result does not fit or the value is not finite.
std::string format_fixed(double value, int width, int decimals);

/// " " + text.
std::string free_form_line(std::string_view text);
/// " " + text + value in FREE_FORM_INTEGER_WIDTH columns.
std::string free_form_line(std::string_view text, int value);

/// " number of equations:      2000000"
std::string equations_line(int n);
/// " Half bandwidth:            8"
std::string half_bandwidth_line(int hb);
/// A line holding one blank.
std::string separator_line();
/// " Unable to allocate memory"
std::string allocation_failure_line();
/// (' Processor: ',i2) for p = 1, (' Processors: ',i2) otherwise.
std::string team_size_line(int p);
/// (' Elapsed Time (Seconds): ',F8.2)
std::string elapsed_line(float seconds);
/// (' CPU Time in User Mode (Seconds): ',F8.2)
std::string user_time_line(float seconds);
/// (' CPU Time in Kernel Mode (Seconds): ',F8.2)
std::string kernel_time_line(float seconds);
/// (' Total CPU Time (Seconds): ',F8.2)
std::string total_time_line(float seconds);

}  // namespace bandbench
