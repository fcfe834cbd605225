#include "src/HttpHeadReader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using ek::HttpHeadReader;
using State = HttpHeadReader::State;

struct Outcome {
    State state = State::Incomplete;
    int status = 0;
    size_t headBytes = 0;
    size_t bodyBytes = 0;
    std::string forwarded;
};

Outcome outcomeOf(const HttpHeadReader& reader) {
    return {reader.state(), reader.refusalStatus(), reader.headBytes(), reader.bodyBytes(),
            reader.forwardedHead()};
}

Outcome readWhole(const std::string& input) {
    HttpHeadReader reader;
    reader.advance(input);
    return outcomeOf(reader);
}

// As bytes trickle in: the buffer grows by one byte per call.
Outcome readByteByByte(const std::string& input) {
    HttpHeadReader reader;
    for (size_t n = 1; n <= input.size() && reader.state() == State::Incomplete; ++n) {
        reader.advance(std::string_view(input).substr(0, n));
    }
    return outcomeOf(reader);
}

std::string headerLines(size_t count) {
    std::string lines;
    for (size_t i = 0; i < count; ++i) {
        lines += "X-Line-" + std::to_string(i) + ": v\r\n";
    }
    return lines;
}

struct HeadCase {
    std::string name;
    std::string input;
    State state;
    int status = 0;                          // when Refused
    size_t bodyBytes = 0;                    // when Complete
    std::optional<std::string> forwarded{};  // when Complete and checked
};

const std::string kGet = "GET /api/ping HTTP/1.1\r\n";

std::vector<HeadCase> headCases() {
    const std::string huge(20000, 'a');
    return {
        {"plain GET", kGet + "Host: a\r\n\r\n", State::Complete, 0, 0,
         kGet + "Host: a\r\nContent-Length: 0\r\n\r\n"},
        {"bare LF line ends", "GET / HTTP/1.0\nHost: a\n\n", State::Complete, 0, 0,
         "GET / HTTP/1.0\r\nHost: a\r\nContent-Length: 0\r\n\r\n"},
        {"blank lines before the request line", "\r\n\r\n" + kGet + "\r\n", State::Complete, 0, 0,
         kGet + "Content-Length: 0\r\n\r\n"},
        {"POST without a length (curl -X POST)",
         "POST /api/inference?enabled=false HTTP/1.1\r\nAccept: */*\r\n\r\n", State::Complete, 0, 0,
         "POST /api/inference?enabled=false HTTP/1.1\r\nAccept: */*\r\nContent-Length: 0\r\n\r\n"},
        {"POST with a body", "POST /t HTTP/1.1\r\ncontent-length: 005\r\n\r\n", State::Complete, 0, 5,
         "POST /t HTTP/1.1\r\ncontent-length: 005\r\n\r\n"},
        {"same length twice", "POST /t HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n",
         State::Complete, 0, 3},
        {"body at the limit", "POST /t HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n", State::Complete, 0,
         1048576},
        {"Expect is answered, not forwarded",
         "POST /t HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n", State::Complete, 0, 2,
         "POST /t HTTP/1.1\r\nContent-Length: 2\r\n\r\n"},
        {"100 header lines", kGet + headerLines(100) + "\r\n", State::Complete},
        {"head not ended", kGet + "Host: a\r\n", State::Incomplete},
        {"nothing yet", "", State::Incomplete},

        {"101 header lines", kGet + headerLines(101) + "\r\n", State::Refused, 431},
        {"header lines that never end", kGet + headerLines(2000), State::Refused, 431},
        {"blank lines that never end", std::string(40000, '\n'), State::Refused, 431},
        {"one endless header line", kGet + "X: " + huge, State::Refused, 431},
        {"a header line over 8 KiB", kGet + "X: " + std::string(8200, 'a') + "\r\n\r\n", State::Refused, 431},
        {"an endless request line", "GET /" + huge, State::Refused, 414},
        {"a request line over 8 KiB", "GET /" + std::string(8200, 'a') + " HTTP/1.1\r\n\r\n", State::Refused,
         414},
        {"chunked body", "POST /t HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", State::Refused, 411},
        {"any transfer coding", "POST /t HTTP/1.1\r\ntransfer-encoding: identity\r\n\r\n", State::Refused,
         411},
        {"body over the limit", "POST /t HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", State::Refused, 413},
        {"length past 64 bits", "POST /t HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
         State::Refused, 413},
        {"length with letters", "POST /t HTTP/1.1\r\nContent-Length: 5a\r\n\r\n", State::Refused, 400},
        {"negative length", "POST /t HTTP/1.1\r\nContent-Length: -1\r\n\r\n", State::Refused, 400},
        {"empty length", "POST /t HTTP/1.1\r\nContent-Length:  \r\n\r\n", State::Refused, 400},
        {"conflicting lengths", "POST /t HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n",
         State::Refused, 400},
        {"folded header line", kGet + "X: a\r\n  b\r\n\r\n", State::Refused, 400},
        {"space before the colon", kGet + "Content-Length : 5\r\n\r\n", State::Refused, 400},
        {"no field name", kGet + ": a\r\n\r\n", State::Refused, 400},
        {"no colon", kGet + "Host a\r\n\r\n", State::Refused, 400},
        {"control character in a value",
         kGet + "X: a\x01"
                "b\r\n\r\n",
         State::Refused, 400},
        {"NUL in a value", kGet + std::string("X: a\0b\r\n\r\n", 9), State::Refused, 400},
        {"bare CR in a value", kGet + "X: a\rb\r\n\r\n", State::Refused, 400},
        {"two-part request line", "GET /\r\n\r\n", State::Refused, 400},
        {"double space in the request line", "GET  / HTTP/1.1\r\n\r\n", State::Refused, 400},
        {"tab in the method", "G\tET / HTTP/1.1\r\n\r\n", State::Refused, 400},
        {"not HTTP", "GET / FTP/1.0\r\n\r\n", State::Refused, 400},
        {"HTTP/2", "GET / HTTP/2.0\r\n\r\n", State::Refused, 505},
    };
}

TEST(HttpHeadReaderTest, ChecksAndForwardsHeadsWhetherWholeOrByteByByte) {
    for (const auto& c : headCases()) {
        SCOPED_TRACE(c.name);
        const Outcome whole = readWhole(c.input);
        EXPECT_EQ(whole.state, c.state);
        if (c.state == State::Refused) {
            EXPECT_EQ(whole.status, c.status);
            EXPECT_EQ(whole.forwarded, "");
        }
        if (c.state == State::Complete) {
            EXPECT_EQ(whole.bodyBytes, c.bodyBytes);
            EXPECT_EQ(whole.headBytes, c.input.size());
            if (c.forwarded) {
                EXPECT_EQ(whole.forwarded, *c.forwarded);
            }
        }
        const Outcome trickled = readByteByByte(c.input);
        EXPECT_EQ(trickled.state, whole.state);
        EXPECT_EQ(trickled.status, whole.status);
        EXPECT_EQ(trickled.headBytes, whole.headBytes);
        EXPECT_EQ(trickled.bodyBytes, whole.bodyBytes);
        EXPECT_EQ(trickled.forwarded, whole.forwarded);
    }
}

TEST(HttpHeadReaderTest, RefusesAnOverlongHeadBeforeItsEndArrives) {
    // The reader must refuse as soon as the limit is passed, not when the head ends.
    HttpHeadReader reader;
    std::string buffer = kGet;
    size_t fed = 0;
    while (reader.advance(buffer) == State::Incomplete && fed < 1024 * 1024) {
        buffer += "X-Pad: 0123456789\r\n";
        fed = buffer.size();
    }
    EXPECT_EQ(reader.state(), State::Refused);
    EXPECT_LE(buffer.size(), reader.limits().maxHeadBytes + 64);
    EXPECT_EQ(reader.refusalStatus(), 431);
}

TEST(HttpHeadReaderTest, ReasonsNameTheLine) {
    HttpHeadReader reader;
    reader.advance(kGet + "Host: a\r\nBad Name: x\r\n\r\n");
    EXPECT_EQ(reader.refusalReason(), "header line 2: malformed field name");
    HttpHeadReader small(
        {.maxHeadBytes = 1024, .maxLineBytes = 512, .maxHeaderLines = 3, .maxBodyBytes = 10});
    small.advance(kGet + headerLines(4));
    EXPECT_EQ(small.refusalReason(), "more than 3 header lines");
    small.reset();
    small.advance("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    EXPECT_EQ(small.refusalReason(), "request body over 10 bytes");
}

TEST(HttpHeadReaderTest, ResetReadsThePipelinedNextRequest) {
    std::string buffer = "POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nhiGET /b HTTP/1.1\r\n\r\nGET /c";
    HttpHeadReader reader;
    ASSERT_EQ(reader.advance(buffer), State::Complete);
    buffer.erase(0, reader.headBytes() + reader.bodyBytes());
    reader.reset();
    ASSERT_EQ(reader.advance(buffer), State::Complete);
    EXPECT_EQ(reader.forwardedHead(), "GET /b HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    buffer.erase(0, reader.headBytes());
    reader.reset();
    EXPECT_EQ(reader.advance(buffer), State::Incomplete);
}

}  // namespace
