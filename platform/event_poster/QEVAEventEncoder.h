#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "platform/event_poster/QEVAHttpClient.h"
#include "qo_common/event_poster/QEVAEvent.h"

class QEVAEventPoster;

// An event in its wire form: the event document and, when images travel separately, their parts.
struct EncodedEvent {
    nlohmann::json document;
    std::vector<HttpPart> parts;
};

// Turns a QEVAEvent into the document of docs/qeva-protocol.md for the poster's settings
// (protocol version, which images, resizing, JPEG qualities, inline or separate images).
class QEVAEventEncoder {
  public:
    // Keeps a reference: the settings must outlive the encoder.
    explicit QEVAEventEncoder(const QEVAEventPoster& settings) : settings_(settings) {}

    // Throws std::runtime_error when a picture cannot be encoded as JPEG.
    EncodedEvent encode(const QEVAEvent& event) const;

  private:
    struct FrameRef {
        const ek::pipeline::Frame* frame;
        bool readFrom;  // a plate reading points at it
    };

    std::vector<FrameRef> collectFrames(const QEVAEvent& event,
                                        const std::vector<const PlateDetectionEvent*>& plates,
                                        std::vector<int>& frameIndexOfPlate) const;
    nlohmann::json frameJson(const FrameRef& ref, size_t index, bool reduce, EncodedEvent& out) const;
    nlohmann::json plateJson(const PlateDetectionEvent& plate, size_t index, int frameIndex,
                             EncodedEvent& out) const;
    nlohmann::json triggerJson(const QEVATriggerEvent& trigger) const;
    nlohmann::json image(const cv::Mat& picture, int quality, const std::string& part,
                         EncodedEvent& out) const;
    bool shouldReduce(const QEVAEvent& event) const;
    int version() const;

    const QEVAEventPoster& settings_;
};
