#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ek {

// Finds the end of an HTTP/1.x request head in bytes as they arrive from an untrusted client and
// checks it before anything else parses it: bounded size, line length and line count, a sound
// request line and header names, and a body length the server accepts.
//
// A complete head is handed on as `forwardedHead()`: the same request line and header lines with
// CRLF line ends, without "Expect", and with "Content-Length: 0" added when the request declares
// no length (a request with neither Content-Length nor Transfer-Encoding has no body). Requests
// with a Transfer-Encoding are refused with 411: every body must declare its length.
//
// Incremental: advance() is called with the whole buffer received so far and scans only the bytes
// it has not seen; the buffer must keep its earlier bytes unchanged. Not thread-safe.
class HttpHeadReader {
  public:
    struct Limits {
        size_t maxHeadBytes = 16 * 1024;  // request line, header lines and the blank line
        size_t maxLineBytes = 8 * 1024;
        size_t maxHeaderLines = 100;
        size_t maxBodyBytes = 1024 * 1024;
    };
    enum class State { Incomplete, Complete, Refused };

    HttpHeadReader();
    explicit HttpHeadReader(const Limits& limits);

    State advance(std::string_view buffer);
    State state() const { return state_; }
    // Starts over for the next request, whose first byte is the first byte of the next buffer.
    void reset();

    // Valid when Complete.
    size_t headBytes() const { return headBytes_; }
    size_t bodyBytes() const { return bodyBytes_; }
    bool expectsContinue() const { return expectsContinue_; }
    const std::string& forwardedHead() const { return forwarded_; }

    // Valid when Refused: the HTTP status to answer and a reason for a person.
    int refusalStatus() const { return refusalStatus_; }
    const std::string& refusalReason() const { return refusalReason_; }

    const Limits& limits() const { return limits_; }

  private:
    void scanIncompleteTail(std::string_view view);
    void refuseLongLine();
    void acceptLine(std::string_view line, size_t lineEnd);
    void acceptRequestLine(std::string_view line);
    void acceptHeaderLine(std::string_view line);
    void acceptContentLength(std::string_view value);
    void finish(size_t headEnd);
    void refuse(int status, std::string reason);

    Limits limits_;
    State state_ = State::Incomplete;
    size_t scanned_ = 0;   // start of the first line not yet accepted
    size_t searched_ = 0;  // bytes already searched for its end
    size_t lines_ = 0;
    bool haveRequestLine_ = false;
    std::optional<uint64_t> contentLength_;
    bool expectsContinue_ = false;
    std::string forwarded_;
    size_t headBytes_ = 0;
    size_t bodyBytes_ = 0;
    int refusalStatus_ = 0;
    std::string refusalReason_;
};

}  // namespace ek
