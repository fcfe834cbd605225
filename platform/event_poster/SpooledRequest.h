#pragma once

#include <cstdint>
#include <string>

// One ready HTTP request of an event, as kept in a spool file, with what a log line needs to name
// the event without opening its body.
struct SpooledRequest {
    std::string url;
    std::string contentType;
    std::string body;
    std::string guid;
    std::string lane;
    std::string plate;      // first plate of the event, "<no recognition>" when it has none
    int64_t spooledAt = 0;  // milliseconds since the epoch
};
