#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "src/HttpHeadReader.h"
#include "src/UniqueFd.h"

namespace ek {

// One accepted client connection while no worker serves it: it gathers a whole request (head and
// body) from a non-blocking socket as bytes arrive, within deadlines, so that a worker only ever
// gets complete requests. Requests that break a limit are answered here (4xx, "Connection:
// close") and the connection is then drained briefly and closed, so that the client can read the
// answer instead of a reset.
//
// Used by one thread at a time: the server's connection thread, or the worker that answers the
// request taken with takeRequest() (the hand-over between them must synchronise).
class HttpConnection {
  public:
    using Clock = std::chrono::steady_clock;
    struct Timeouts {
        std::chrono::milliseconds head{2000};   // first byte of a request to the end of its head
        std::chrono::milliseconds body{10000};  // end of the head to the end of the body
        std::chrono::milliseconds idle{5000};   // between requests, and before the first one
        std::chrono::milliseconds drain{2000};  // after a refusal, until the socket is closed
    };
    enum class Progress { Waiting, RequestReady, Closed };

    HttpConnection(UniqueFd socket, const HttpHeadReader::Limits& limits, const Timeouts& timeouts,
                   Clock::time_point now);

    int socket() const { return socket_.get(); }
    // When the connection's current wait ends (see onDeadline).
    Clock::time_point deadline() const { return deadline_; }
    // True between the first byte of a request and its hand-over (or refusal).
    bool inRequest() const { return phase_ == Phase::Head || phase_ == Phase::Body; }

    // Reads what the socket holds (one bounded read) and moves the request on.
    Progress onReadable(Clock::time_point now);
    // The deadline has passed: a request in progress is answered 408; an idle or drained
    // connection is done.
    Progress onDeadline(Clock::time_point now);
    // After an answer: goes on with bytes already received (a pipelined request), else waits idle.
    Progress resume(Clock::time_point now);

    // When RequestReady: the request as the HTTP library is to parse it (the forwarded head and
    // the body). Bytes received beyond it stay for the next request.
    std::string takeRequest();
    // Counts an answered request; returns how many this connection has had.
    size_t countAnswer() { return ++answered_; }

  private:
    enum class Phase { Idle, Head, Body, Ready, Draining };

    Progress scan(Clock::time_point now);
    Progress refuse(int status, const std::string& reason, Clock::time_point now);
    Progress drain();
    size_t readCapacity() const;
    void startWaiting(Clock::time_point now);

    UniqueFd socket_;
    HttpHeadReader reader_;
    Timeouts timeouts_;
    Phase phase_ = Phase::Idle;
    Clock::time_point deadline_;
    std::string buffer_;
    size_t drained_ = 0;
    size_t answered_ = 0;
};

}  // namespace ek
