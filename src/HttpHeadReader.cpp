#include "src/HttpHeadReader.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace ek {
namespace {

bool isTokenChar(unsigned char c) {
    static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return std::isalnum(c) != 0 || kSymbols.find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return isTokenChar(c); });
}

// Visible ASCII and bytes above it (targets and values may carry raw UTF-8); no controls, no DEL.
bool isVisible(unsigned char c) {
    return c > 0x20 && c != 0x7f;
}

bool isFieldValueChar(unsigned char c) {
    return isVisible(c) || c == ' ' || c == '\t';
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

HttpHeadReader::HttpHeadReader() : HttpHeadReader(Limits{}) {}

HttpHeadReader::HttpHeadReader(const Limits& limits) : limits_(limits) {}

void HttpHeadReader::reset() {
    *this = HttpHeadReader(limits_);
}

HttpHeadReader::State HttpHeadReader::advance(std::string_view buffer) {
    // Nothing past the first byte over the head limit matters. Each limit is judged on the bytes
    // up to the first one that breaks it, so a head refused whole is refused for the same reason
    // however its bytes arrive.
    const std::string_view view = buffer.substr(0, limits_.maxHeadBytes + 1);
    while (state_ == State::Incomplete) {
        // Bytes of an unfinished line are searched once, however slowly they come.
        const size_t newline = view.find('\n', std::max(scanned_, searched_));
        if (newline == std::string_view::npos) {
            searched_ = view.size();
            scanIncompleteTail(view);
            break;
        }
        size_t lineEnd = newline;
        if (lineEnd > scanned_ && view[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        const std::string_view line = view.substr(scanned_, lineEnd - scanned_);
        scanned_ = newline + 1;
        acceptLine(line, scanned_);
    }
    return state_;
}

void HttpHeadReader::scanIncompleteTail(std::string_view view) {
    size_t pending = view.size() - scanned_;
    // A CR at the end may yet be followed by its LF.
    if (pending > 0 && view.back() == '\r') {
        --pending;
    }
    if (pending > limits_.maxLineBytes) {
        refuseLongLine();
    } else if (view.size() > limits_.maxHeadBytes) {
        refuse(431, "request head over " + std::to_string(limits_.maxHeadBytes) + " bytes");
    }
}

void HttpHeadReader::refuseLongLine() {
    if (haveRequestLine_) {
        refuse(431, "header line " + std::to_string(lines_ + 1) + " over " +
                        std::to_string(limits_.maxLineBytes) + " bytes");
    } else {
        refuse(414, "request line over " + std::to_string(limits_.maxLineBytes) + " bytes");
    }
}

void HttpHeadReader::acceptLine(std::string_view line, size_t lineEnd) {
    if (line.size() > limits_.maxLineBytes) {
        refuseLongLine();
        return;
    }
    if (lineEnd > limits_.maxHeadBytes) {
        refuse(431, "request head over " + std::to_string(limits_.maxHeadBytes) + " bytes");
        return;
    }
    if (line.empty()) {
        // Blank lines before the request line are tolerated; after it, the head is complete.
        if (haveRequestLine_) {
            finish(lineEnd);
        }
        return;
    }
    if (!haveRequestLine_) {
        acceptRequestLine(line);
        return;
    }
    ++lines_;
    if (lines_ > limits_.maxHeaderLines) {
        refuse(431, "more than " + std::to_string(limits_.maxHeaderLines) + " header lines");
        return;
    }
    acceptHeaderLine(line);
}

void HttpHeadReader::acceptRequestLine(std::string_view line) {
    // method SP request-target SP HTTP-version, single spaces.
    const size_t firstSpace = line.find(' ');
    const size_t lastSpace = line.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) {
        refuse(400, "malformed request line");
        return;
    }
    const std::string_view method = line.substr(0, firstSpace);
    const std::string_view target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const std::string_view version = line.substr(lastSpace + 1);
    const bool targetSound =
        !target.empty() && std::all_of(target.begin(), target.end(), [](char c) { return isVisible(c); });
    if (!isToken(method) || !targetSound || version.substr(0, 5) != "HTTP/") {
        refuse(400, "malformed request line");
        return;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        refuse(505, "only HTTP/1.0 and HTTP/1.1 are served");
        return;
    }
    haveRequestLine_ = true;
    forwarded_.append(line).append("\r\n");
}

void HttpHeadReader::acceptHeaderLine(std::string_view line) {
    const std::string where = "header line " + std::to_string(lines_);
    if (line.front() == ' ' || line.front() == '\t') {
        refuse(400, where + ": folded header lines are not accepted");
        return;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
        refuse(400, where + ": malformed field name");
        return;
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view rawValue = line.substr(colon + 1);
    if (!std::all_of(rawValue.begin(), rawValue.end(), [](char c) { return isFieldValueChar(c); })) {
        refuse(400, where + ": control character in the value");
        return;
    }
    const std::string_view value = trimBlanks(rawValue);
    if (equalsIgnoringCase(name, "Transfer-Encoding")) {
        refuse(411, "request bodies need a Content-Length (Transfer-Encoding is not accepted)");
        return;
    }
    if (equalsIgnoringCase(name, "Content-Length")) {
        acceptContentLength(value);
        if (state_ == State::Refused) {
            return;
        }
    }
    if (equalsIgnoringCase(name, "Expect")) {
        // Answered here, before the body is read; the request parser never sees it.
        expectsContinue_ = equalsIgnoringCase(value, "100-continue");
        return;
    }
    forwarded_.append(line).append("\r\n");
}

void HttpHeadReader::acceptContentLength(std::string_view value) {
    const bool digitsOnly = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (!digitsOnly) {
        refuse(400, "header line " + std::to_string(lines_) + ": Content-Length is not a whole number");
        return;
    }
    const size_t firstSignificant = std::min(value.find_first_not_of('0'), value.size());
    const std::string_view digits = value.substr(firstSignificant);
    uint64_t length = 0;
    // 19 digits always fit 64 bits; longer is over any body limit anyway.
    const bool tooLong = digits.size() > 19;
    for (const char c : tooLong ? std::string_view() : digits) {
        length = length * 10 + static_cast<uint64_t>(c - '0');
    }
    if (tooLong || length > limits_.maxBodyBytes) {
        refuse(413, "request body over " + std::to_string(limits_.maxBodyBytes) + " bytes");
        return;
    }
    if (contentLength_ && *contentLength_ != length) {
        refuse(400, "header line " + std::to_string(lines_) + ": conflicting Content-Length values");
        return;
    }
    contentLength_ = length;
}

void HttpHeadReader::finish(size_t headEnd) {
    headBytes_ = headEnd;
    bodyBytes_ = static_cast<size_t>(contentLength_.value_or(0));
    if (!contentLength_) {
        forwarded_.append("Content-Length: 0\r\n");
    }
    forwarded_.append("\r\n");
    state_ = State::Complete;
}

void HttpHeadReader::refuse(int status, std::string reason) {
    state_ = State::Refused;
    refusalStatus_ = status;
    refusalReason_ = std::move(reason);
    forwarded_.clear();
}

}  // namespace ek
