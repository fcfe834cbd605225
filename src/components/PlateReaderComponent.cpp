#include "src/components/PlateReaderComponent.h"

#include <opencv2/imgproc.hpp>

#include <optional>
#include <stdexcept>

#include "platereader/PlateReaderFactory.h"
#include "qo_common/logger/log.h"
#include "qo_common/utils/BoundedRegex.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/ConfigReader.h"
#include "src/components/CacheMap.h"
#include "src/components/StateRecognizerComponent.h"

using nlohmann::json;

namespace {

ek::CacheMap<std::string, std::shared_ptr<IPlateReader>> readerCache;

std::string getCacheKey(const ek::ConfigReader& config) {
    (void)config.requiredText("name", ek::ConfigReader::NonEmpty);
    const ek::ConfigReader definition = config.object("model").object("definition");
    return definition.requiredText("path") + "/" +
           definition.object("content").object("files").requiredText("weights", ek::ConfigReader::NonEmpty);
}

// Widening of a plate box before it is read, as a share of its size.
float getImageRequirements(const std::string& name, const ek::ConfigReader& config, float defaultValue) {
    const auto requirements = config.object("model")
                                  .object("definition")
                                  .object("content")
                                  .optionalObject("image-input-requirements");
    if (!requirements) {
        ILog::Error("PlateReaderComponent getImageRequirements not found, error message: %s",
                    config.pathOf("model.definition.content.image-input-requirements").c_str());
        return defaultValue;
    }
    return requirements->number<float>(name, defaultValue, 0.f, 10.f);
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
    // Every key of the network object is read before the reader's model is loaded.
    const auto keys = ek::ConfigReader::objectAt(config, "");
    const bool fp16 = keys.boolean("fp16", false);
    const std::string key = getCacheKey(keys);
    const std::string region = keys.object("model").requiredText("region");
    const std::string pattern = keys.text("regexp", ".*");
    try {
        reg = ek::compileBoundedRegex(pattern);
    } catch (const std::runtime_error& e) {
        keys.fail("regexp", e.what());
    }
    extendWidth = getImageRequirements("width_ext", keys, 0.1f);
    extendHeight = getImageRequirements("height_ext", keys, 0.05f);
    tresh = keys.number<float>("treshold", 0.f, 0.f);
    savePlates = keys.has("savePlates") &&
                 (keys.find("savePlates")->is_boolean() ? keys.boolean("savePlates", false)
                                                        : keys.integer<int>("savePlates", 0) != 0);
    (void)keys.boolean("digitOnly", false);
    (void)keys.boolean("logIgnoredRead", false);
    twoLineOn = keys.boolean("twoLineOn", false);
    twoLine_compare_th = keys.number<float>("twoLine_compare_th", 2.92f, 0.f);
    twoLine_pw = keys.number<float>("twoLine_pw", 0.21f, 0.f, 0.46f);
    twoLine_ph = keys.number<float>("twoLine_ph", 0.6f, 0.f, 1.f);
    // Outside [0, 0.46) and (0, 1] the strips leave the plate or are empty.
    if (twoLine_pw >= 0.46f) {
        keys.fail("twoLine_pw",
                  ek::ConfigReader::expected("a number from 0 to below 0.46", keys.value().at("twoLine_pw")));
    }
    if (twoLine_ph <= 0.f) {
        keys.fail("twoLine_ph",
                  ek::ConfigReader::expected("a number above 0 up to 1", keys.value().at("twoLine_ph")));
    }
    std::optional<ek::ConfigReader> recognizer = keys.optionalObject("state_recognizer");
    if (recognizer) {
        const std::string type = recognizer->requiredText("type");
        if (type != "StateRecognizer") {
            recognizer->fail(
                "type", ek::ConfigReader::expected("\"StateRecognizer\"", recognizer->value().at("type")));
        }
    }

    lease =
        std::make_unique<ReaderLease>(key, readerCache.getOrCreate(key, initializeInference(config, fp16)));
    pr = lease->reader;
    syntax = std::make_unique<ek::SyntaxAnalyzer>("syntaxes/default-syntax.json", config);
    watchlist = std::make_unique<ek::Watchlist>("syntaxes/watchlist.json", region);
    if (recognizer) {
        try {
            stateRecognizer = std::make_unique<StateRecognizerComponent>(recognizer->value());
        } catch (const ek::ConfigError& e) {
            throw e.under("state_recognizer");
        }
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
