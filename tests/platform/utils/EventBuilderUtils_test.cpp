#include "qo_common/utils/EventBuilderUtils.h"

#include <gtest/gtest.h>

namespace {

TEST(EventBuilderUtilsTest, LevensteinDistance) {
    struct Case {
        std::string a, b;
        uint64_t expected;
    };
    const Case cases[] = {
        {"", "", 0},
        {"AB123C", "AB123C", 0},
        {"", "AB1", 3},
        {"AB1", "", 3},
        {"kitten", "sitting", 3},
        {"AB123C", "AB128C", 1},
        {"AB123C", "B123C", 1},
        {"flaw", "lawn", 2},
        {"\xD0\x90\xD0\x92"
         "123",
         "\xD0\x90\xD0\x92"
         "12",
         1},  // Cyrillic "АВ": one character each
        {"\xD0\x90"
         "1",
         "\xD0\x92"
         "1",
         1},
        {"A\xFF"
         "1",
         "A\xFE"
         "1",
         1},  // stray bytes count as one character each
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EventBuilderUtils::levensteinDistance(c.a, c.b), c.expected) << c.a << " / " << c.b;
        EXPECT_EQ(EventBuilderUtils::levensteinDistance(c.b, c.a), c.expected) << c.b << " / " << c.a;
    }
}

TEST(EventBuilderUtilsTest, IsSubstring) {
    struct Case {
        std::string plate, reading;
        int minLength;
        bool expected;
    };
    const Case cases[] = {
        {"AB123CD", "B123C", 3, true},
        {"B123C", "AB123CD", 3, true},   // either text may be the longer one
        {"AB123CD", "B123C", 5, true},   // the shorter has exactly the minimum length
        {"AB123CD", "B123C", 6, false},  // shorter than the minimum
        {"AB123", "AB124", 1, false},    // neither contains the other
        {"AB12", "AB12", 4, true},
        {"", "AB12", 0, false},  // an empty text never counts
        {"AB12", "", 0, false},
        {"\xD0\x90\xD0\x92"
         "123",
         "\xD0\x92"
         "12",
         3, true},  // 3 characters, 4 bytes
        {"\xD0\x90\xD0\x92"
         "123",
         "\xD0\x92"
         "12",
         4, false},  // ... so not 4 characters
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EventBuilderUtils::isSubstring(c.plate, c.reading, c.minLength), c.expected)
            << c.plate << " / " << c.reading << " / " << c.minLength;
    }
}

}  // namespace
