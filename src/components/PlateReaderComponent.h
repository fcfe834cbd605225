#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <memory>
#include <regex>
#include <string>

#include "platereader/IPlateReader.h"
#include "qo_common/jpeg/Encoder.h"
#include "qo_common/syntax/SyntaxAnalyzer.h"
#include "qo_common/syntax/Watchlist.h"
#include "qo_common/yolo/YoloObjectInfo.h"
#include "src/Component.h"

// Network kind "PlateReaderV3Colored": reads the plate of every YOLO plate box of a frame with the
// plate reader shared by the networks of the same model (path and weights), accepts readings by
// confidence, regular expression and length, corrects them against the watch list and the plate
// syntaxes ("syntaxes/watchlist.json", "syntaxes/default-syntax.json" in the working directory)
// and appends the accepted ones to the frame's lprDetections. An embedded "state_recognizer"
// network then runs on the frame.
//
// Construction (main thread) throws for anything that cannot work: the reader's and the syntax
// files' errors, and ek::ConfigError naming the key (relative to the network object) for a key of
// the wrong type or out of range, a bad "regexp", an embedded network that is not a
// "StateRecognizer", "twoLine_pw" outside [0, 0.46) or "twoLine_ph" outside (0, 1]. Every key is
// read before the reader's model is loaded. A failed construction gives its reader back.
// infer() runs on the network's infer thread only; the shared reader serialises its own reads.
class PlateReaderComponent : public Component {
  public:
    explicit PlateReaderComponent(const nlohmann::json& config);
    ~PlateReaderComponent() override;

    void infer(std::shared_ptr<FrameWithInfo> frame) override;
    // Nothing to do: the crops are cut and read in infer().
    void prepare(std::shared_ptr<FrameWithInfo> frame) override;

    // Width / height below compare_th: a two-line plate to unfold.
    static bool is_us_format_plate(const cv::Mat& plate, float compare_th);
    // The upper strip (resized to the lower one's size) beside the lower strip. `out` is left
    // empty when a strip would be empty or leave the plate.
    static void crop_image(const cv::Mat& plate, cv::Mat& out, float pw, float ph);
    // The box grown by the factors on each side, cut at the image edges (may be empty).
    static cv::Rect expandedRect(const YoloObjectInfo& box, float extendWidth, float extendHeight,
                                 cv::Size image);
    // "plates/plate_<ts>_<value with / as !>_<confidence x 100>.jpg"
    static std::string plateFileName(int64_t timestamp, const std::string& value, float confidence);
    // Components sharing the reader of a cache key (path + "/" + weights).
    static size_t readerUsers(const std::string& key);

  private:
    // Holds one use of a shared reader and gives it back when dropped.
    struct ReaderLease {
        ReaderLease(std::string key, std::shared_ptr<IPlateReader> reader);
        ~ReaderLease();
        ReaderLease(const ReaderLease&) = delete;
        ReaderLease& operator=(const ReaderLease&) = delete;
        std::string key;
        std::shared_ptr<IPlateReader> reader;
    };

    void readBox(FrameWithInfo& frame, const YoloObjectInfo& box);
    void handleReading(FrameWithInfo& frame, const YoloObjectInfo& box, LPRDetection& reading, int cropWidth);

    nlohmann::json config;
    std::unique_ptr<ReaderLease> lease;
    std::shared_ptr<IPlateReader> pr;
    std::unique_ptr<ek::SyntaxAnalyzer> syntax;
    std::unique_ptr<ek::Watchlist> watchlist;
    std::unique_ptr<Component> stateRecognizer;
    float tresh = 0.f;
    std::regex reg;
    bool savePlates = false;
    int minPlateLen = 1;
    float extendWidth = 0.1f;
    float extendHeight = 0.05f;
    bool twoLineOn = false;
    float twoLine_compare_th = 2.92f;
    float twoLine_pw = 0.21f;
    float twoLine_ph = 0.6f;
    Encoder jpgEncoder;
};
