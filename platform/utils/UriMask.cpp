#include "qo_common/utils/UriMask.h"

#include <cctype>

namespace {

constexpr const char* kSchemeSeparator = "://";
constexpr const char* kMask = "***";
// Characters that cannot be part of an authority: they end it in a URI and around one in a text.
constexpr const char* kAuthorityEnd = "/?#\"'<> \t\r\n\f\v";

bool isSchemeChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) != 0 || c == '+' || c == '-' || c == '.';
}

// Where the scheme before `separator` starts; `separator` itself when there is no valid scheme.
size_t schemeStart(const std::string& text, size_t separator) {
    size_t start = separator;
    while (start > 0 && isSchemeChar(text[start - 1])) {
        --start;
    }
    // A scheme begins with a letter: "1a+b://" holds the scheme "a+b".
    while (start < separator && std::isalpha(static_cast<unsigned char>(text[start])) == 0) {
        ++start;
    }
    return start;
}

}  // namespace

std::string UriMask::hideCredentials(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    size_t search = 0;
    while (true) {
        const size_t separator = text.find(kSchemeSeparator, search);
        if (separator == std::string::npos) {
            break;
        }
        const size_t authorityStart = separator + 3;
        // The next URI may begin at the very end of this authority ("a://b://u:p@h").
        search = authorityStart;
        if (schemeStart(text, separator) == separator) {
            continue;
        }
        size_t authorityEnd = text.find_first_of(kAuthorityEnd, authorityStart);
        if (authorityEnd == std::string::npos) {
            authorityEnd = text.size();
        }
        if (authorityEnd == authorityStart) {
            continue;
        }
        const size_t at = text.rfind('@', authorityEnd - 1);
        if (at == std::string::npos || at <= authorityStart) {
            continue;
        }
        out.append(text, copied, authorityStart - copied);
        out += kMask;
        copied = at;
    }
    out.append(text, copied, std::string::npos);
    return out;
}
