#include <algorithm>
#include <cctype>
#include <string>

#include "FFmpegVideoSource.h"
#include "qo_common/video/IVideoSource.h"

namespace ek {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

std::unique_ptr<IVideoSource> createVideoSource(const VideoSourceSettings& settings) {
    using Kind = video::FFmpegVideoSource::Kind;
    const auto type = lower(settings.type);
    if (type == "file") {
        return std::make_unique<video::FFmpegVideoSource>(settings, Kind::File);
    }
    if (type == "rtsp" || type == "http" || type == "hls" || type == "stream" || type == "network") {
        return std::make_unique<video::FFmpegVideoSource>(settings, Kind::Network);
    }
    if (type.empty() || type == "auto") {
        return std::make_unique<video::FFmpegVideoSource>(
            settings, video::FFmpegVideoSource::isNetworkUri(settings.uri) ? Kind::Network : Kind::File);
    }
    return nullptr;
}

}  // namespace ek
