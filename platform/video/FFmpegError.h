#pragma once

#include <string>

namespace ek::video {

// FFmpeg's text for an error code, e.g. "Connection refused".
std::string avErrorText(int code);

}  // namespace ek::video
