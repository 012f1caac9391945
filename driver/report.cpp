#include "driver/report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bandbench {

namespace {

// Significant decimal digits a real is expanded to before it is cut to the
// decimals of its field.
constexpr int SIGNIFICANT_DIGITS = 8;

std::string right_aligned(const std::string& item, int width) {
    if (static_cast<int>(item.size()) > width) return std::string(width, '*');
    return std::string(width - item.size(), ' ') + item;
}

std::string line(std::string_view body) {
    std::string text(body);
    text += LINE_END;
    return text;
}

std::string formatted_line(std::string_view text, const std::string& field) {
    std::string body(text);
    body += field;
    return line(body);
}

// Rounds the non-negative integer `digits` to drop its last `dropped`
// decimal digits, raising the last kept one when the first dropped digit is
// 5 or more.
std::int64_t drop_digits(std::int64_t digits, int dropped) {
    if (dropped <= 0) return digits;
    if (dropped > SIGNIFICANT_DIGITS + 1) return 0;  // even the first dropped digit is 0
    std::int64_t scale = 1;
    for (int i = 0; i < dropped; ++i) scale *= 10;
    const std::int64_t kept = digits / scale;
    return digits % scale >= scale / 2 ? kept + 1 : kept;
}

}  // namespace

std::string format_integer(int value, int width) {
    return right_aligned(std::to_string(value), width);
}

std::string format_fixed(double value, int width, int decimals) {
    if (!std::isfinite(value)) return std::string(width, '*');
    const bool negative = value < 0.0;
    const double magnitude = std::fabs(value);

    // The exact decimal expansion "d.ddd...e+XX": a double has at most 767
    // significant digits, so this precision never rounds.
    char expansion[1024];
    std::snprintf(expansion, sizeof expansion, "%.780e", magnitude);
    const char* exponent_mark = std::strchr(expansion, 'e');
    int exponent = std::atoi(exponent_mark + 1);

    // The first SIGNIFICANT_DIGITS digits as an integer, rounded on the next.
    std::int64_t digits = 0;
    int taken = 0;
    int next_digit = 0;
    for (const char* c = expansion; c < exponent_mark; ++c) {
        if (*c == '.') continue;
        if (taken == SIGNIFICANT_DIGITS) {
            next_digit = *c - '0';
            break;
        }
        digits = digits * 10 + (*c - '0');
        ++taken;
    }
    if (next_digit >= 5) ++digits;
    if (digits == 100000000) {  // 9.9999999|5 became 10.000000
        digits /= 10;
        ++exponent;
    }

    // An integer part of more digits than the field has columns cannot fit.
    if (digits != 0 && exponent + 1 > width) return std::string(width, '*');

    // value = digits * 10^(exponent - 7); keep `decimals` decimals of it.
    const int places = SIGNIFICANT_DIGITS - 1 - exponent;  // decimals present
    std::int64_t scaled = drop_digits(digits, places - decimals);
    for (int i = places; i < decimals; ++i) scaled *= 10;

    std::int64_t unit = 1;
    for (int i = 0; i < decimals; ++i) unit *= 10;
    std::string item = negative ? "-" : "";
    item += std::to_string(scaled / unit);
    item += '.';
    if (decimals > 0) {
        const std::string fraction = std::to_string(scaled % unit);
        item += std::string(decimals - fraction.size(), '0');
        item += fraction;
    }
    return right_aligned(item, width);
}

std::string free_form_line(std::string_view text) {
    std::string body = " ";
    body += text;
    return line(body);
}

std::string free_form_line(std::string_view text, int value) {
    std::string body = " ";
    body += text;
    body += format_integer(value, FREE_FORM_INTEGER_WIDTH);
    return line(body);
}

std::string equations_line(int n) { return free_form_line("number of equations: ", n); }

std::string half_bandwidth_line(int hb) { return free_form_line("Half bandwidth: ", hb); }

std::string separator_line() { return free_form_line(""); }

std::string allocation_failure_line() { return line(" Unable to allocate memory"); }

std::string team_size_line(int p) {
    return formatted_line(p == 1 ? " Processor: " : " Processors: ", format_integer(p, 2));
}

std::string elapsed_line(float seconds) {
    return formatted_line(" Elapsed Time (Seconds): ", format_fixed(seconds, 8, 2));
}

std::string user_time_line(float seconds) {
    return formatted_line(" CPU Time in User Mode (Seconds): ", format_fixed(seconds, 8, 2));
}

std::string kernel_time_line(float seconds) {
    return formatted_line(" CPU Time in Kernel Mode (Seconds): ", format_fixed(seconds, 8, 2));
}

std::string total_time_line(float seconds) {
    return formatted_line(" Total CPU Time (Seconds): ", format_fixed(seconds, 8, 2));
}

}  // namespace bandbench
