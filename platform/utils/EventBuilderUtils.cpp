#include "qo_common/utils/EventBuilderUtils.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace {

// Plates may hold non-Latin letters, so texts are compared by UTF-8 code point. A byte that does
// not start a well-formed sequence counts as one character of its own.
std::vector<char32_t> codePoints(const std::string& text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        bool wellFormed = length > 0 && i + length <= text.size();
        for (size_t k = 1; wellFormed && k < length; ++k) {
            wellFormed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (!wellFormed) {
            out.push_back(0x110000 + lead);  // outside Unicode: never equal to a real character
            ++i;
            continue;
        }
        char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back(cp);
        i += length;
    }
    return out;
}

bool contains(const std::vector<char32_t>& haystack, const std::vector<char32_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

}  // namespace

bool EventBuilderUtils::isSubstring(const std::string& plate, const std::string& reading,
                                    int minSubstringDist) {
    auto a = codePoints(plate);
    auto b = codePoints(reading);
    const auto& shorter = a.size() <= b.size() ? a : b;
    const auto& longer = a.size() <= b.size() ? b : a;
    auto needed = static_cast<size_t>(std::max(1, minSubstringDist));
    return shorter.size() >= needed && contains(longer, shorter);
}

uint64_t EventBuilderUtils::levensteinDistance(const std::string& a, const std::string& b) {
    auto s = codePoints(a);
    auto t = codePoints(b);
    if (s.size() < t.size()) {
        std::swap(s, t);
    }
    // One row of the edit-distance table, over the shorter text.
    std::vector<uint64_t> row(t.size() + 1);
    std::iota(row.begin(), row.end(), uint64_t{0});
    for (size_t i = 1; i <= s.size(); ++i) {
        uint64_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= t.size(); ++j) {
            uint64_t above = row[j];
            uint64_t substitution = diagonal + (s[i - 1] == t[j - 1] ? 0 : 1);
            row[j] = std::min({above + 1, row[j - 1] + 1, substitution});
            diagonal = above;
        }
    }
    return row[t.size()];
}
