#include "qo_common/utils/UriMask.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr const char* kSchemeSeparator = "://";
constexpr const char* kMask = "***";
// Characters that end a URI in a text: a blank, a quote, '<' or '>'.
constexpr const char* kUriEnd = "\"'<> \t\r\n\f\v";
// Characters that end an authority within a URI.
constexpr const char* kAuthorityEnd = "/?#";

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

// The '@' that ends the user information of the URI whose authority starts at `start`, or npos.
// Usually the authority's last '@'. A password may hold an unencoded '/', '?' or '#' (people type
// them and cameras take them), which would end the authority early and print the rest of the
// password: so when the text up to a later '@' of the same URI holds a ':' (user:password), the
// user information runs to that URI's last '@'. Hiding a path now and then is the safer mistake.
size_t userInfoEnd(const std::string& text, size_t start) {
    // A URI ends where the text around it goes on, or where the next one starts.
    const size_t uriEnd =
        std::min({text.find_first_of(kUriEnd, start), text.find(kSchemeSeparator, start), text.size()});
    if (uriEnd == start) {
        return std::string::npos;
    }
    const size_t lastAt = text.rfind('@', uriEnd - 1);
    if (lastAt == std::string::npos || lastAt <= start) {
        return std::string::npos;
    }
    const size_t authorityEnd = std::min(text.find_first_of(kAuthorityEnd, start), uriEnd);
    if (lastAt < authorityEnd) {
        return lastAt;
    }
    const bool holdsPassword = text.find(':', start) < lastAt;
    if (holdsPassword) {
        return lastAt;
    }
    const size_t authorityAt = authorityEnd == start ? std::string::npos : text.rfind('@', authorityEnd - 1);
    return authorityAt != std::string::npos && authorityAt > start ? authorityAt : std::string::npos;
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
        const size_t at = userInfoEnd(text, authorityStart);
        if (at == std::string::npos) {
            continue;
        }
        out.append(text, copied, authorityStart - copied);
        out += kMask;
        copied = at;
    }
    out.append(text, copied, std::string::npos);
    return out;
}
