#pragma once

#include <string>

#include "platform/event_poster/SpooledRequest.h"

// What one attempt to send a spooled request came to.
struct SendResult {
    long status = 0;     // HTTP status; 0 when no answer came (see error)
    std::string error;   // transport error (no connection, time-out, aborted), empty with an answer
    std::string answer;  // start of the answer's body
};

// Sends spooled requests one at a time. `abort` may be called from any thread: the send in flight,
// and every later one, return at once with an error.
class RequestSender {
  public:
    virtual ~RequestSender() = default;
    virtual SendResult send(const SpooledRequest& request) = 0;
    virtual void abort() = 0;
};
