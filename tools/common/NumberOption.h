#pragma once

// Command-line numbers shared by the tools.

#include <charconv>
#include <stdexcept>
#include <string>

namespace tools {

// A command line the tool cannot read: it prints its usage.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A decimal or 0x-prefixed hexadecimal number within low..high, or a
// UsageError that names the option.
inline long long NumberOption(const std::string& option, const std::string& text, long long low, long long high)
{
    int base = 10;
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc{} || end != digits.data() + digits.size() || digits.empty() || value < low || value > high)
        throw UsageError(option + ": expected a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", got \"" + text + "\"");
    return value;
}

}  // namespace tools
