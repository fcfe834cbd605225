#pragma once

#include <string>

namespace curl {

// Initialises libcurl once for the process (later calls do nothing). Call it in main before any
// thread starts; send() calls it too. Throws std::runtime_error when libcurl cannot start.
void globalInit();

// One GET request to `url` with connect and total time-outs in ms (0: libcurl's default, which is
// 300 s to connect and no total limit). The body is discarded. Returns the HTTP status; throws
// std::runtime_error with the URL and the reason on a transport error or a time-out. Safe from any thread (no
// signals are used).
long send(const std::string& url, long connectTimeoutMs = 2000, long totalTimeoutMs = 5000);

}  // namespace curl
