#include "qo_common/jpeg/Encoder.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>

#include "qo_common/logger/log.h"

namespace {

// The callers (snapshots, debug images) ignore the result, so the reason goes to the log.
template <typename... Args>
void warn(const char* format, Args... args) {
    try {
        ILog::Warning(format, args...);
    } catch (const std::exception&) {
        // Logging must not turn a failed encode into an exception; the false result remains.
    }
}

bool encode(const cv::Mat& image, std::vector<unsigned char>& out, int quality, const char* what) {
    if (image.empty()) {
        warn("Encoder: %s: empty image", what);
        return false;
    }
    try {
        const std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, std::clamp(quality, 0, 100)};
        if (!cv::imencode(".jpg", image, out, params)) {
            warn("Encoder: %s: cannot encode a %dx%d %s image", what, image.cols, image.rows,
                 cv::typeToString(image.type()).c_str());
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        warn("Encoder: %s: %s", what, e.what());
        return false;
    }
}

}  // namespace

bool Encoder::imencode(const cv::Mat& image, std::vector<unsigned char>& out, int quality) {
    out.clear();
    return encode(image, out, quality, "imencode");
}

// Always JPEG, whatever the extension of `path`.
bool Encoder::imwrite(const std::string& path, const cv::Mat& image, int quality) {
    std::vector<unsigned char> bytes;
    if (!encode(image, bytes, quality, path.c_str())) {
        return false;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        warn("Encoder: cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        warn("Encoder: cannot write %s", path.c_str());
        std::remove(path.c_str());
        return false;
    }
    return true;
}
