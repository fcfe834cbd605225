#pragma once

#include <string>

namespace curl {

// Call once in main before any thread starts.
void globalInit();

// One GET request to `url` with connect and total time-outs. Returns the HTTP status; throws
// std::runtime_error with the URL and the reason on a transport error.
long send(const std::string& url, long connectTimeoutMs = 2000, long totalTimeoutMs = 5000);

}  // namespace curl
