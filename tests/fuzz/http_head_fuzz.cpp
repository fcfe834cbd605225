// libFuzzer target: request heads as a hostile client may send them, whole and in pieces, through
// the reader that checks every head before the HTTP library parses it.
//
// The first input byte picks the size of the pieces; the rest is the client's byte stream.
// Checked: no crash or sanitizer report; the same outcome whole and in pieces; a complete head
// within the limits, whose forwarded form reads back to itself; a refusal with a status and reason.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "src/HttpHeadReader.h"

namespace {

using ek::HttpHeadReader;
using State = HttpHeadReader::State;

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// Small limits, so that the fuzzer reaches them with short inputs.
HttpHeadReader::Limits fuzzLimits() {
    HttpHeadReader::Limits limits;
    limits.maxHeadBytes = 2048;
    limits.maxLineBytes = 512;
    limits.maxHeaderLines = 16;
    limits.maxBodyBytes = 4096;
    return limits;
}

HttpHeadReader readInPieces(std::string_view input, size_t step) {
    HttpHeadReader reader(fuzzLimits());
    size_t arrived = 0;
    do {
        arrived = std::min(arrived + step, input.size());
        reader.advance(input.substr(0, arrived));
    } while (reader.state() == State::Incomplete && arrived < input.size());
    return reader;
}

void checkSameOutcome(const HttpHeadReader& a, const HttpHeadReader& b) {
    check(a.state() == b.state());
    check(a.refusalStatus() == b.refusalStatus());
    check(a.refusalReason() == b.refusalReason());
    check(a.headBytes() == b.headBytes());
    check(a.bodyBytes() == b.bodyBytes());
    check(a.forwardedHead() == b.forwardedHead());
}

void checkComplete(const HttpHeadReader& reader, std::string_view input) {
    const auto& limits = reader.limits();
    check(reader.headBytes() <= input.size());
    check(reader.headBytes() <= limits.maxHeadBytes);
    check(reader.bodyBytes() <= limits.maxBodyBytes);
    const std::string& forwarded = reader.forwardedHead();
    check(forwarded.size() >= 4 && forwarded.compare(forwarded.size() - 4, 4, "\r\n\r\n") == 0);
    check(forwarded.find("\r\n\r\n") == forwarded.size() - 4);
    // The forwarded head may be a little longer (CRs, the added length line): read it with room.
    HttpHeadReader::Limits roomy = limits;
    roomy.maxHeadBytes *= 2;
    roomy.maxHeaderLines += 1;
    HttpHeadReader again(roomy);
    check(again.advance(forwarded) == State::Complete);
    check(again.headBytes() == forwarded.size());
    check(again.bodyBytes() == reader.bodyBytes());
    check(again.forwardedHead() == forwarded);
}

void checkRefused(const HttpHeadReader& reader) {
    static const std::set<int> statuses = {400, 411, 413, 414, 431, 505};
    check(statuses.count(reader.refusalStatus()) == 1);
    check(!reader.refusalReason().empty());
    check(reader.forwardedHead().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t step = data[0] % 64 + 1;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    HttpHeadReader whole(fuzzLimits());
    whole.advance(input);
    checkSameOutcome(whole, readInPieces(input, step));
    switch (whole.state()) {
        case State::Complete:
            checkComplete(whole, input);
            break;
        case State::Refused:
            checkRefused(whole);
            break;
        case State::Incomplete:
            // Anything over the head limit must have been refused already.
            check(input.size() <= whole.limits().maxHeadBytes);
            break;
    }
    return 0;
}
