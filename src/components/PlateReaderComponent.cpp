#include "src/components/PlateReaderComponent.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>

#include "platereader/PlateReaderFactory.h"
#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "src/components/CacheMap.h"
#include "src/components/StateRecognizerComponent.h"

using nlohmann::json;

namespace {

ek::CacheMap<std::string, std::shared_ptr<IPlateReader>> readerCache;

std::string getCacheKey(const json& config) {
    (void)config.at("name").get<std::string>();
    const auto& definition = config.at("model").at("definition");
    return definition.at("path").get<std::string>() + "/" +
           definition.at("content").at("files").at("weights").get<std::string>();
}

float getImageRequirements(const std::string& name, const json& config, float defaultValue) {
    const json* requirements = nullptr;
    try {
        requirements = &config.at("model").at("definition").at("content").at("image-input-requirements");
    } catch (const json::out_of_range& e) {
        ILog::Error("PlateReaderComponent getImageRequirements not found, error message: %s", e.what());
        return defaultValue;
    }
    if (requirements->is_object() && !requirements->contains(name)) {
        return defaultValue;
    }
    return static_cast<float>(requirements->at(name).get<double>());
}

// The factory the reader cache calls for a new key: builds the reader and warms it up.
auto initializeInference(const json& config, bool fp16) {
    return [config, fp16] {
        auto reader = createPlateReader(config, fp16, 1);
        std::vector<LPRDetection> warmUp(1);
        warmUp[0].plate = cv::Mat(200, 200, CV_8UC3, cv::Scalar::all(0));
        reader->prepare(warmUp);
        reader->read(warmUp, nullptr);
        return reader;
    };
}

LPRMatchType watchlistMatchType(ek::WatchlistMatchType type) {
    switch (type) {
        case ek::WatchlistMatchType::ExactUnique:
            return LPRMatchType::WatchlistExactUnique;
        case ek::WatchlistMatchType::ExactMultiply:
            return LPRMatchType::WatchlistExactMulti;
        case ek::WatchlistMatchType::AmbigueUnique:
            return LPRMatchType::WatchListAmbigueUniqie;
        case ek::WatchlistMatchType::CorrectionUnique:
            return LPRMatchType::WatchlistCorrectionUnique;
        default:
            return LPRMatchType::NoMatch;
    }
}

float number(const json& config, const char* key, double defaultValue) {
    return static_cast<float>(config.value(key, defaultValue));
}

}  // namespace

PlateReaderComponent::ReaderLease::ReaderLease(std::string key_, std::shared_ptr<IPlateReader> reader_)
    : key(std::move(key_)), reader(std::move(reader_)) {}

PlateReaderComponent::ReaderLease::~ReaderLease() {
    readerCache.release(key);
}

size_t PlateReaderComponent::readerUsers(const std::string& key) {
    return readerCache.users(key);
}

PlateReaderComponent::PlateReaderComponent(const json& networkObject) : config(networkObject) {
    ILog::Debug("Creating PlateReaderComponent");
    const bool fp16 = config.value("fp16", false);
    const std::string key = getCacheKey(config);
    lease =
        std::make_unique<ReaderLease>(key, readerCache.getOrCreate(key, initializeInference(config, fp16)));
    pr = lease->reader;

    syntax = std::make_unique<ek::SyntaxAnalyzer>("syntaxes/default-syntax.json", config);
    const std::string region = config.at("model").at("region").get<std::string>();
    watchlist = std::make_unique<ek::Watchlist>("syntaxes/watchlist.json", region);
    reg = std::regex(config.value("regexp", std::string(".*")), std::regex::ECMAScript);
    extendWidth = getImageRequirements("width_ext", config, 0.1f);
    extendHeight = getImageRequirements("height_ext", config, 0.05f);

    tresh = number(config, "treshold", 0.0);
    savePlates = config.value("savePlates", 0) != 0;
    (void)config.value("digitOnly", false);
    (void)config.value("logIgnoredRead", false);
    twoLineOn = config.value("twoLineOn", false);
    twoLine_compare_th = number(config, "twoLine_compare_th", 2.92);
    twoLine_pw = number(config, "twoLine_pw", 0.21);
    twoLine_ph = number(config, "twoLine_ph", 0.6);
    // Outside these the strips leave the plate or are empty.
    if (!(twoLine_pw >= 0.f && twoLine_pw < 0.46f) || !(twoLine_ph > 0.f && twoLine_ph <= 1.f)) {
        throw std::runtime_error(
            "PlateReaderComponent: twoLine_pw must be in [0, 0.46) and twoLine_ph in (0, 1], got " +
            std::to_string(twoLine_pw) + " and " + std::to_string(twoLine_ph));
    }

    if (config.contains("state_recognizer")) {
        const json& recognizer = config.at("state_recognizer");
        const json typeValue = recognizer.contains("type") ? recognizer.at("type") : json();
        const std::string type = typeValue.get<std::string>();
        if (type != "StateRecognizer") {
            throw std::runtime_error("unknown network type: " + type);
        }
        stateRecognizer = std::make_unique<StateRecognizerComponent>(recognizer);
    }
}

PlateReaderComponent::~PlateReaderComponent() = default;

void PlateReaderComponent::prepare(std::shared_ptr<FrameWithInfo> /*frame*/) {}

bool PlateReaderComponent::is_us_format_plate(const cv::Mat& plate, float compare_th) {
    return static_cast<float>(plate.cols) / static_cast<float>(plate.rows) < compare_th;
}

void PlateReaderComponent::crop_image(const cv::Mat& plate, cv::Mat& out, float pw, float ph) {
    out.release();
    const int width = plate.cols, height = plate.rows;
    const cv::Rect top(static_cast<int>(static_cast<float>(width) * pw), 0,
                       static_cast<int>((0.92 - 2.0 * static_cast<double>(pw)) * width),
                       static_cast<int>(static_cast<float>(height) * ph));
    const cv::Rect bottom(static_cast<int>(static_cast<float>(width) * pw),
                          static_cast<int>((1.f - ph) * static_cast<float>(height)),
                          static_cast<int>((1.f - pw) * static_cast<float>(width)),
                          static_cast<int>(static_cast<float>(height) * ph));
    const cv::Rect whole(0, 0, width, height);
    if (top.empty() || bottom.empty() || (top & whole) != top || (bottom & whole) != bottom) {
        return;
    }
    cv::Mat resizedTop;
    cv::resize(plate(top), resizedTop, bottom.size(), 0, 0, cv::INTER_LINEAR);
    cv::hconcat(resizedTop, plate(bottom), out);
}

cv::Rect PlateReaderComponent::expandedRect(const YoloObjectInfo& box, float extendWidth, float extendHeight,
                                            cv::Size image) {
    const float left = static_cast<float>(box.left), top = static_cast<float>(box.top);
    const float width = static_cast<float>(box.width), height = static_cast<float>(box.height);
    int x = static_cast<int>(left - width * extendWidth);
    int y = static_cast<int>(top - height * extendHeight);
    int w = static_cast<int>(width + (2 * width) * extendWidth);
    int h = static_cast<int>(height + (2 * height) * extendHeight);
    x = x < 0 ? 0 : x;
    y = y < 0 ? 0 : y;
    if (x + w >= image.width) {
        w = image.width - x;
    }
    if (y + h >= image.height) {
        h = image.height - y;
    }
    return {x, y, w, h};
}

std::string PlateReaderComponent::plateFileName(int64_t timestamp, const std::string& value,
                                                float confidence) {
    return "plates/plate_" + std::to_string(timestamp) + "_" + CommonUtils::replace(value, "/", "!") + "_" +
           std::to_string(static_cast<int>(confidence * 100.f)) + ".jpg";
}

void PlateReaderComponent::infer(std::shared_ptr<FrameWithInfo> frame) {
    for (size_t i = 0; i < frame->yoloInfo.size(); ++i) {
        readBox(*frame, frame->yoloInfo[i]);
    }
    if (stateRecognizer) {
        stateRecognizer->prepare(frame);
        stateRecognizer->infer(frame);
    }
}

void PlateReaderComponent::readBox(FrameWithInfo& frame, const YoloObjectInfo& box) {
    const cv::Mat& image = frame.frame->image;
    const cv::Rect r = expandedRect(box, extendWidth, extendHeight, image.size());
    if (r.width <= 0 || r.height <= 0 || (r & cv::Rect(0, 0, image.cols, image.rows)) != r) {
        ILog::Debug("%s, plate box %s gives no crop; skipped", frame.frame->cameraName.c_str(),
                    box.toString().c_str());
        return;
    }
    LPRDetection reading;
    reading.idYoloInfo = box.id;
    reading.r = r;
    reading.plate = image(r);
    const bool unfolded = twoLineOn && is_us_format_plate(reading.plate, twoLine_compare_th);
    if (unfolded) {
        cv::Mat oneLine;
        crop_image(reading.plate, oneLine, twoLine_pw, twoLine_ph);
        if (oneLine.empty()) {
            ILog::Debug("%s, plate crop of %ix%ipx is too small to unfold; skipped",
                        frame.frame->cameraName.c_str(), r.width, r.height);
            return;
        }
        reading.plate = oneLine;
    }
    std::vector<LPRDetection> readings{reading};
    pr->prepare(readings);
    pr->read(readings, nullptr);
    if (unfolded) {
        readings[0].plate = image(r);
    }
    for (auto& each : readings) {
        handleReading(frame, box, each, r.width);
    }
}

void PlateReaderComponent::handleReading(FrameWithInfo& frame, const YoloObjectInfo& box,
                                         LPRDetection& reading, int cropWidth) {
    const char* camera = frame.frame->cameraName.c_str();
    if (savePlates) {
        const std::string path = plateFileName(frame.frame->timestamp, reading.value, reading.confidence);
        if (!jpgEncoder.imwrite(path, reading.plate)) {
            ILog::Warning("%s, cannot write plate crop %s", camera, path.c_str());
        }
    }
    const bool confOk = reading.confidence >= tresh || tresh == 0.f;
    const bool regOk = std::regex_match(reading.value, reg);
    const bool lenMatch = static_cast<int>(reading.value.size()) >= minPlateLen;
    const bool accepted = confOk && regOk && lenMatch;

    std::string corrected = reading.value;
    std::string info;
    const auto listed = watchlist->match(reading.value);
    if (listed.type == ek::WatchlistMatchType::NotFound || listed.matches.empty()) {
        const auto match = syntax->match(reading.value);
        if (match.isMatched) {
            corrected = match.lpr;
            reading.matchType =
                corrected != reading.value ? LPRMatchType::SyntaxCorrection : LPRMatchType::SyntaxExact;
            info = match.info.definition + " -> " + match.lpr;
        } else {
            reading.matchType = LPRMatchType::NoMatch;
            info = "syntax not matched";
        }
    } else {
        reading.matchType = watchlistMatchType(listed.type);
        corrected = listed.matches.front()->lpr;
        info = "in watchlist " + corrected;
    }

    const double confidence = reading.confidence;
    const double yoloConfidence = box.detectionConfidence;
    if (accepted) {
        ILog::Debug("%s, READ: %s %f %s  (tresh=%0.2f, w=%ipx, yoloConf=%f, rootValue=%s)", camera,
                    reading.value.c_str(), confidence, info.c_str(), static_cast<double>(tresh), cropWidth,
                    yoloConfidence, reading.rootValue.c_str());
    } else {
        ILog::Debug(
            "%s, IGNORED READ: %s %f (tresh=%0.2f, confOk=%i, regOk=%i, lenMatch=%i, w=%ipx, yoloConf=%0.2f",
            camera, reading.value.c_str(), confidence, static_cast<double>(tresh), confOk ? 1 : 0,
            regOk ? 1 : 0, lenMatch ? 1 : 0, cropWidth, yoloConfidence);
    }
    reading.value = corrected;
    if (accepted) {
        frame.lprDetections.push_back(reading);
    }
}
