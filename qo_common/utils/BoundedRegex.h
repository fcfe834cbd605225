#pragma once

#include <cctype>
#include <cstddef>
#include <regex>
#include <stdexcept>
#include <string>

namespace ek {

// Regular expressions from configuration and syntax files are untrusted: these bounds keep the
// standard library's regex compiler within what it handles safely.
struct RegexBounds {
    // Its parser recurses per group and its automaton grows with the pattern.
    size_t maxLength = 256;
    // It reads repetition counts and back-reference numbers into a long without an overflow check
    // (20 digits are undefined behaviour); plate patterns need a few.
    size_t maxDigitsInCount = 4;
};

// Compiles `pattern` (ECMAScript by default) or throws std::runtime_error saying why: "longer than
// 256 characters", "a repetition count or back-reference over 4 digits", or "not a valid regular
// expression: <reason>". The caller adds where the pattern came from.
inline std::regex compileBoundedRegex(const std::string& pattern, RegexBounds bounds = {},
                                      std::regex::flag_type flags = std::regex::ECMAScript) {
    if (pattern.size() > bounds.maxLength) {
        throw std::runtime_error("longer than " + std::to_string(bounds.maxLength) + " characters");
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '{' && pattern[i] != ',' && pattern[i] != '\\') {
            continue;
        }
        size_t digits = 0;
        while (i + 1 + digits < pattern.size() &&
               std::isdigit(static_cast<unsigned char>(pattern[i + 1 + digits])) != 0) {
            ++digits;
        }
        if (digits > bounds.maxDigitsInCount) {
            throw std::runtime_error("a repetition count or back-reference over " +
                                     std::to_string(bounds.maxDigitsInCount) + " digits");
        }
    }
    try {
        return std::regex(pattern, flags);
    } catch (const std::regex_error& e) {
        throw std::runtime_error(std::string("not a valid regular expression: ") + e.what());
    }
}

}  // namespace ek
