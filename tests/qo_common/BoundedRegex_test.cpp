#include "qo_common/utils/BoundedRegex.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

// Whether there is a full match is ECMAScript's answer, also where a backtracking matcher would
// take years to give it (those rows hang without the polynomial matching).
TEST(BoundedRegex, MatchesInFullAsECMAScriptAndInPolynomialTime) {
    const std::string a30(30, 'a');
    struct Case {
        std::string pattern;
        std::string text;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"[0-9A-NP-Z]{5,8}", "AB123", true},
        {"[0-9A-NP-Z]{5,8}", "AB1O3", false},
        {"[0-9A-NP-Z]{5,8}", "AB1234567", false},
        {"[1-9][A-Z]{3}[0-9]{3}", "7ABC123", true},
        {"AB|ABC", "ABC", true},
        {"A+?B", "AAB", true},
        {"(?=.*[0-9])[A-Z0-9]{3}", "ABC", false},
        {"(?=.*[0-9])[A-Z0-9]{3}", "AB1", true},
        {"\\d{3}\\b", "123", true},
        {repeated("(?:)*", 50), "AB123CD", false},
        {repeated("(?:)*", 50), "", true},
        {"(?:a?){500}", a30 + "b", false},
        {"(?:a?){500}", a30, true},
        {"(a|aa)*c", std::string(60, 'a'), false},
        {"((a*)*)*b", std::string(60, 'a'), false},
    };
    for (const auto& c : cases) {
        const std::regex compiled = ek::compileBoundedRegex(c.pattern);
        EXPECT_EQ(std::regex_match(c.text, compiled), c.matches)
            << c.pattern.substr(0, 40) << " / " << c.text;
    }
}

TEST(BoundedRegex, RefusalsSayWhy) {
    struct Case {
        std::string pattern;
        std::string error;  // the whole message, or its beginning for the library's own reason
    };
    const std::vector<Case> cases = {
        {std::string(257, 'A'), "longer than 256 characters"},
        {"A{99999999999999999999}", "a repetition count or back-reference over 4 digits"},
        {"(A)\\123456", "a repetition count or back-reference over 4 digits"},
        {"([A-Z])\\1", "a back-reference, which could make matching take exponential time"},
        {"(){9999}", "more than 4096 states once its repetitions are expanded"},
        {"((A{20}){20}){20}", "more than 4096 states once its repetitions are expanded"},
        {"[A-Z", "not a valid regular expression: "},
    };
    for (const auto& c : cases) {
        try {
            ek::compileBoundedRegex(c.pattern);
            ADD_FAILURE() << c.pattern << " compiled";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            if (c.error.back() == ' ') {
                EXPECT_EQ(message.rfind(c.error, 0), 0u) << message;
                EXPECT_GT(message.size(), c.error.size()) << "the reason follows";
            } else {
                EXPECT_EQ(message, c.error) << c.pattern;
            }
        }
    }
    EXPECT_NO_THROW(ek::compileBoundedRegex(std::string(1024, 'A'), {.maxLength = 1024}));
}

}  // namespace
