#include "FFmpegLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "qo_common/logger/log.h"
#include "qo_common/utils/UriMask.h"

namespace ek::video {

namespace {

void forward(void* avcl, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) {
        return;
    }
    char line[1024];
    int printPrefix = 1;
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(avcl, level, format, copy, line, sizeof(line), &printPrefix);
    va_end(copy);
    auto length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        line[--length] = '\0';
    }
    // FFmpeg's protocols may print the URL they were given, credentials included.
    const std::string masked = UriMask::hideCredentials(line);
    if (level <= AV_LOG_ERROR) {
        ILog::Warning("ffmpeg: %s", masked.c_str());
    } else {
        ILog::Debug("ffmpeg: %s", masked.c_str());
    }
}

}  // namespace

void FFmpegLog::install() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(forward); });
}

}  // namespace ek::video
