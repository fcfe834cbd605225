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

#if !defined(__GLIBCXX__)
#error "compileBoundedRegex relies on libstdc++'s polynomial-time matching (regex_constants::__polynomial)"
#endif
// The build sets the bound on automaton states (cmake/QoHelpers.cmake); without it, 100000.
#if _GLIBCXX_REGEX_STATE_LIMIT != 4096
#error "compile with -D_GLIBCXX_REGEX_STATE_LIMIT=4096, as the project's CMake files do"
#endif

// Compiles `pattern` (ECMAScript by default) or throws std::runtime_error saying why: "longer than
// 256 characters", "a repetition count or back-reference over 4 digits", "a back-reference, which
// could make matching take exponential time", "more than 4096 states once its repetitions are
// expanded", or "not a valid regular expression: <reason>". The caller adds where the pattern came
// from.
//
// The result only serves std::regex_match and std::regex_search: it matches in polynomial time
// (libstdc++'s breadth-first executor), where the default backtracking one may not end in a
// lifetime: "(?:)*" written 50 times against any plate text, or "(?:a?){500}" against thirty
// "a". Which match it finds, and so the sub-matches, may differ from ECMAScript's; whether there
// is one does not.
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
        return std::regex(pattern, flags | std::regex_constants::__polynomial);
    } catch (const std::regex_error& e) {
        // The polynomial mode refuses back-references with this code, and only them.
        if (e.code() == std::regex_constants::error_complexity) {
            throw std::runtime_error("a back-reference, which could make matching take exponential time");
        }
        if (e.code() == std::regex_constants::error_space) {
            throw std::runtime_error("more than " + std::to_string(_GLIBCXX_REGEX_STATE_LIMIT) +
                                     " states once its repetitions are expanded");
        }
        throw std::runtime_error(std::string("not a valid regular expression: ") + e.what());
    }
}

}  // namespace ek
