#include "FFmpegError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace ek::video {

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    if (av_strerror(code, text, sizeof(text)) < 0) {
        return "FFmpeg error " + std::to_string(code);
    }
    return text;
}

}  // namespace ek::video
