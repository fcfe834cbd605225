#pragma once

namespace ek::video {

// Sends FFmpeg's own messages to the service log instead of stderr: errors as Warning, warnings
// as Debug, the rest dropped. Installed once per process; safe to call from any thread.
class FFmpegLog {
  public:
    static void install();
};

}  // namespace ek::video
