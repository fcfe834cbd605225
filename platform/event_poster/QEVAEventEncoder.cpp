#include "platform/event_poster/QEVAEventEncoder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "platform/event_poster/Base64.h"
#include "qo_common/event_poster/QEVAEventPoster.h"
#include "qo_common/jpeg/Encoder.h"

using nlohmann::json;

namespace {

// A float as the shortest decimal that reads back to it, so 0.93f is sent as 0.93 and not as
// 0.9300000071525574.
double number(float value) {
    if (!std::isfinite(value)) {
        return 0.0;
    }
    char text[32];
    auto result = std::to_chars(text, text + sizeof(text), value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

json rectJson(const cv::Rect& r) {
    return {{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}};
}

json boxJson(const YoloObjectInfo& box) {
    return {{"left", box.left},
            {"top", box.top},
            {"width", box.width},
            {"height", box.height},
            {"classId", box.classId},
            {"className", box.className},
            {"confidence", number(box.detectionConfidence)}};
}

// Keys of the trigger document in protocol 2.3; 2.4 adds the rest of the documented keys.
const std::vector<std::string> kTriggerBaseKeys = {
    "laneId", "triggerId", "triggerTimestamp", "triggerGuid", "laneName", "vehicleGuid", "triggerName"};
const std::vector<std::string> kTrigger24Keys = {"eventId", "eventData", "triggerSource", "additional_data"};

}  // namespace

int QEVAEventEncoder::version() const {
    return static_cast<int>(settings_.protocolVersion);
}

EncodedEvent QEVAEventEncoder::encode(const QEVAEvent& event) const {
    EncodedEvent out;
    json& doc = out.document;
    const int v = version();
    doc["protocolVersion"] = v;
    doc["guid"] = event.guid;
    doc["ts"] = event.ts;
    doc["laneId"] = event.laneId;
    doc["laneName"] = event.laneName;

    std::vector<const PlateDetectionEvent*> plates;
    for (const auto& plate : event.evts) {
        if (plate) {
            plates.push_back(plate.get());
        }
    }
    std::vector<int> frameIndexOfPlate;
    std::vector<FrameRef> frames = collectFrames(event, plates, frameIndexOfPlate);

    json evts = json::array();
    for (size_t i = 0; i < plates.size(); ++i) {
        evts.push_back(plateJson(*plates[i], i, frameIndexOfPlate[i], out));
    }
    doc["evts"] = std::move(evts);

    const bool reduce = shouldReduce(event);
    json frameList = json::array();
    for (size_t i = 0; i < frames.size(); ++i) {
        frameList.push_back(frameJson(frames[i], i, reduce, out));
    }
    doc["frames"] = std::move(frameList);

    if (v >= 105) {
        doc["motion_direction"] = number(event.motion_direction);
        doc["person_number"] = event.person_number;
        if (settings_.sendData) {
            json persons = json::array();
            for (const auto& r : event.personDetections) {
                persons.push_back(rectJson(r));
            }
            doc["personDetections"] = std::move(persons);
        }
    }
    if (v >= 203) {
        doc["txId"] = event.txId;
        doc["postTrigger"] = event.postTrigger;
        if (settings_.sendData) {
            json videos = json::array();
            for (const auto& [srcId, id] : event.videos) {
                videos.push_back({{"srcId", srcId}, {"id", id}});
            }
            doc["videos"] = std::move(videos);
            json roi = json::array();
            for (const auto& [srcId, points] : event.roi) {
                json values = json::array();
                for (float p : points) {
                    values.push_back(number(p));
                }
                roi.push_back({{"srcId", srcId}, {"points", std::move(values)}});
            }
            doc["roi"] = std::move(roi);
        }
        if (settings_.postTriggers || event.postTrigger) {
            doc["trigger"] = triggerJson(event.trigger);
        }
    }
    return out;
}

std::vector<QEVAEventEncoder::FrameRef> QEVAEventEncoder::collectFrames(
    const QEVAEvent& event, const std::vector<const PlateDetectionEvent*>& plates,
    std::vector<int>& frameIndexOfPlate) const {
    std::vector<FrameRef> frames;
    for (const auto& f : event.frames) {
        if (f) {
            frames.push_back({f.get(), false});
        }
    }
    for (const PlateDetectionEvent* plate : plates) {
        auto found = std::find_if(frames.begin(), frames.end(), [&](const FrameRef& ref) {
            return ref.frame == plate->frame.get() ||
                   (!plate->frameGuid.empty() && ref.frame->guid == plate->frameGuid);
        });
        int index = -1;
        if (found != frames.end()) {
            index = static_cast<int>(found - frames.begin());
        } else if (plate->frame && !plate->frame->image.empty()) {
            // A reading whose frame the event does not list still gets its picture sent.
            frames.push_back({plate->frame.get(), false});
            index = static_cast<int>(frames.size()) - 1;
        }
        if (index >= 0) {
            frames[static_cast<size_t>(index)].readFrom = true;
        }
        frameIndexOfPlate.push_back(index);
    }
    return frames;
}

json QEVAEventEncoder::frameJson(const FrameRef& ref, size_t index, bool reduce, EncodedEvent& out) const {
    const ek::pipeline::Frame& f = *ref.frame;
    json j = {{"guid", f.guid},    {"srcId", f.sourceId},   {"src", f.cameraName},
              {"ts", f.timestamp}, {"width", f.image.cols}, {"height", f.image.rows}};
    if (settings_.postImages && settings_.frameFormat == "jpeg" && !f.image.empty()) {
        cv::Mat picture = f.image;
        if (reduce && picture.cols > settings_.imgWidth) {
            int height = std::max(1, static_cast<int>(std::lround(static_cast<double>(picture.rows) *
                                                                  settings_.imgWidth / picture.cols)));
            cv::resize(f.image, picture, cv::Size(settings_.imgWidth, height), 0, 0, cv::INTER_AREA);
        }
        int quality = ref.readFrom ? settings_.lprJPEGQuality : settings_.ovJPEGQuality;
        j["image"] = image(picture, quality, "frame_" + std::to_string(index), out);
    }
    return j;
}

json QEVAEventEncoder::plateJson(const PlateDetectionEvent& plate, size_t index, int frameIndex,
                                 EncodedEvent& out) const {
    const int v = version();
    json j = {{"num", plate.num},         {"confidence", number(plate.confidence)},
              {"guid", plate.guid},       {"src", plate.src},
              {"srcId", plate.srcId},     {"frameGuid", plate.frameGuid},
              {"frameIndex", frameIndex}, {"ts", plate.ts}};
    if (settings_.sendData) {
        json boxes = json::array();
        for (const auto& box : plate.yoloInfo) {
            boxes.push_back(boxJson(box));
        }
        j["yoloInfo"] = std::move(boxes);
    }
    if (settings_.postImages && settings_.plateFormat == "jpeg" && !plate.plate.empty()) {
        j["plate"] = image(plate.plate, settings_.plateJPEGQuality, "plate_" + std::to_string(index), out);
    }
    if (v >= 104) {
        j["state"] = plate.state;
        j["stateConfidence"] = number(plate.stateConfidence);
        j["rootLpr"] = plate.rootLpr;
        j["matchType"] = static_cast<int>(plate.matchType);
    }
    if (v >= 203) {
        j["plateIndex"] = plate.plateIndex;
        j["nontriggered"] = plate.nontriggered;
        j["vehicle_class"] = plate.vehicle_class;
        j["vehicle_class_confidence"] = number(plate.vehicle_class_confidence);
        j["lprScore"] = number(plate.lprScore);
    }
    return j;
}

json QEVAEventEncoder::triggerJson(const QEVATriggerEvent& trigger) const {
    // The record's own text form is the trigger document; only the documented keys are passed on.
    json full = json::parse(trigger.toString(ek::Protocols::Version2_4));
    json j = json::object();
    auto copyKeys = [&](const std::vector<std::string>& keys) {
        for (const auto& key : keys) {
            if (full.contains(key) && !full.at(key).is_null()) {
                j[key] = full.at(key);
            }
        }
    };
    copyKeys(kTriggerBaseKeys);
    if (version() >= 204) {
        copyKeys(kTrigger24Keys);
        if (!j.contains("additional_data")) {
            j["additional_data"] = json::array();
        }
    }
    return j;
}

json QEVAEventEncoder::image(const cv::Mat& picture, int quality, const std::string& part,
                             EncodedEvent& out) const {
    std::vector<unsigned char> jpeg;
    if (!Encoder::imencode(picture, jpeg, quality)) {
        throw std::runtime_error("cannot encode " + part + " (" + std::to_string(picture.cols) + "x" +
                                 std::to_string(picture.rows) + ", " + std::to_string(picture.channels()) +
                                 " channels) as JPEG");
    }
    json j = {{"format", "jpeg"}, {"width", picture.cols}, {"height", picture.rows}};
    if (settings_.separatedImages) {
        j["part"] = part;
        out.parts.push_back({part, part + ".jpg", "image/jpeg", std::string(jpeg.begin(), jpeg.end())});
    } else {
        j["data"] = Base64::encode(jpeg);
    }
    return j;
}

bool QEVAEventEncoder::shouldReduce(const QEVAEvent& event) const {
    if (!settings_.resizeEnabled) {
        return false;
    }
    float best = 0.f;
    for (const auto& plate : event.evts) {
        best = plate ? std::max(best, plate->confidence) : best;
    }
    return best >= settings_.resizeConfidence;
}
