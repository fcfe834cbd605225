#include "tools/event_sink/EventValidator.h"

#include <opencv2/imgcodecs.hpp>

#include <set>

#include "platform/event_poster/Base64.h"

using nlohmann::json;

struct EventValidator::Context {
    int version = 0;
    const std::map<std::string, std::string>* parts = nullptr;
    std::set<std::string> usedParts;
    std::vector<ReceivedImage> images;
};

namespace {

enum class Kind { Integer, Number, String, Boolean, Array, Object };

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Integer:
            return "an integer";
        case Kind::Number:
            return "a number";
        case Kind::String:
            return "a string";
        case Kind::Boolean:
            return "a boolean";
        case Kind::Array:
            return "an array";
        case Kind::Object:
            return "an object";
    }
    return "?";
}

bool is(const json& value, Kind kind) {
    switch (kind) {
        case Kind::Integer:
            return value.is_number_integer();
        case Kind::Number:
            return value.is_number();
        case Kind::String:
            return value.is_string();
        case Kind::Boolean:
            return value.is_boolean();
        case Kind::Array:
            return value.is_array();
        case Kind::Object:
            return value.is_object();
    }
    return false;
}

[[noreturn]] void fail(const std::string& where, const std::string& why) {
    throw ValidationError(where.empty() ? why : where + ": " + why);
}

std::string join(const std::string& where, const std::string& key) {
    return where.empty() ? key : where + "." + key;
}

// A key that must be there (required) or may be missing (optional), and of one kind.
const json* field(const json& object, const std::string& where, const char* key, Kind kind, bool required) {
    auto it = object.find(key);
    if (it == object.end()) {
        if (required) {
            fail(join(where, key), "missing");
        }
        return nullptr;
    }
    if (!is(*it, kind)) {
        fail(join(where, key), std::string("must be ") + kindName(kind));
    }
    return &*it;
}

struct Key {
    const char* name;
    Kind kind;
    int since;
    bool required;
};

void checkKeys(const json& object, const std::string& where, int version, std::initializer_list<Key> keys) {
    for (const Key& k : keys) {
        if (version >= k.since) {
            field(object, where, k.name, k.kind, k.required);
        }
    }
}

void checkRectangles(const json& list, const std::string& where, std::initializer_list<const char*> keys) {
    for (size_t i = 0; i < list.size(); ++i) {
        std::string at = where + "[" + std::to_string(i) + "]";
        if (!list[i].is_object()) {
            fail(at, "must be an object");
        }
        for (const char* k : keys) {
            field(list[i], at, k, Kind::Integer, true);
        }
    }
}

}  // namespace

std::vector<ReceivedImage> EventValidator::validate(const json& event,
                                                    const std::map<std::string, std::string>* parts) const {
    if (!event.is_object()) {
        fail("", "the event document must be a JSON object");
    }
    Context ctx;
    ctx.parts = parts;
    ctx.version = field(event, "", "protocolVersion", Kind::Integer, true)->get<int>();
    if (std::set<int>{103, 104, 105, 203, 204}.count(ctx.version) == 0) {
        fail("protocolVersion", "must be 103, 104, 105, 203 or 204, not " + std::to_string(ctx.version));
    }
    const int v = ctx.version;
    if (field(event, "", "guid", Kind::String, true)->get<std::string>().empty()) {
        fail("guid", "must not be empty");
    }
    checkKeys(event, "", v,
              {{"ts", Kind::Integer, 103, true},
               {"laneId", Kind::Integer, 103, true},
               {"laneName", Kind::String, 103, true},
               {"evts", Kind::Array, 103, true},
               {"frames", Kind::Array, 103, true},
               {"motion_direction", Kind::Number, 105, true},
               {"person_number", Kind::Integer, 105, true},
               {"personDetections", Kind::Array, 105, false},
               {"txId", Kind::Integer, 203, true},
               {"postTrigger", Kind::Boolean, 203, true},
               {"videos", Kind::Array, 203, false},
               {"roi", Kind::Array, 203, false},
               {"trigger", Kind::Object, 203, false}});

    const json& frames = event.at("frames");
    for (size_t i = 0; i < frames.size(); ++i) {
        checkFrame(frames[i], i, ctx);
    }
    const json& evts = event.at("evts");
    for (size_t i = 0; i < evts.size(); ++i) {
        checkPlate(evts[i], i, frames.size(), ctx);
    }
    if (v >= 105 && event.contains("personDetections")) {
        checkRectangles(event.at("personDetections"), "personDetections", {"x", "y", "width", "height"});
    }
    if (v >= 203) {
        if (event.contains("videos")) {
            const json& videos = event.at("videos");
            for (size_t i = 0; i < videos.size(); ++i) {
                std::string at = "videos[" + std::to_string(i) + "]";
                if (!videos[i].is_object()) {
                    fail(at, "must be an object");
                }
                field(videos[i], at, "srcId", Kind::Integer, true);
                field(videos[i], at, "id", Kind::String, true);
            }
        }
        if (event.contains("roi")) {
            const json& roi = event.at("roi");
            for (size_t i = 0; i < roi.size(); ++i) {
                std::string at = "roi[" + std::to_string(i) + "]";
                if (!roi[i].is_object()) {
                    fail(at, "must be an object");
                }
                field(roi[i], at, "srcId", Kind::Integer, true);
                const json* points = field(roi[i], at, "points", Kind::Array, true);
                for (const auto& p : *points) {
                    if (!p.is_number()) {
                        fail(at + ".points", "must hold numbers only");
                    }
                }
            }
        }
        if (event.contains("trigger")) {
            checkTrigger(event.at("trigger"), "trigger");
        }
    }
    if (parts != nullptr) {
        for (const auto& [name, body] : *parts) {
            if (ctx.usedParts.count(name) == 0) {
                fail("part " + name, "is not referenced by the event document");
            }
        }
    }
    return std::move(ctx.images);
}

void EventValidator::checkPlate(const json& plate, size_t index, size_t frames, Context& ctx) const {
    const std::string where = "evts[" + std::to_string(index) + "]";
    if (!plate.is_object()) {
        fail(where, "must be an object");
    }
    checkKeys(plate, where, ctx.version,
              {{"num", Kind::String, 103, true},
               {"confidence", Kind::Number, 103, true},
               {"guid", Kind::String, 103, true},
               {"src", Kind::String, 103, true},
               {"srcId", Kind::Integer, 103, true},
               {"frameGuid", Kind::String, 103, true},
               {"frameIndex", Kind::Integer, 103, true},
               {"ts", Kind::Integer, 103, true},
               {"yoloInfo", Kind::Array, 103, false},
               {"plate", Kind::Object, 103, false},
               {"state", Kind::String, 104, true},
               {"stateConfidence", Kind::Number, 104, true},
               {"rootLpr", Kind::String, 104, true},
               {"matchType", Kind::Integer, 104, true},
               {"plateIndex", Kind::Integer, 203, true},
               {"nontriggered", Kind::Boolean, 203, true},
               {"vehicle_class", Kind::String, 203, true},
               {"vehicle_class_confidence", Kind::Number, 203, true},
               {"lprScore", Kind::Number, 203, true}});
    auto frameIndex = plate.at("frameIndex").get<int64_t>();
    if (frameIndex < -1 || frameIndex >= static_cast<int64_t>(frames)) {
        fail(where + ".frameIndex", "must be -1 or a position in frames, not " + std::to_string(frameIndex));
    }
    if (ctx.version >= 104) {
        int match = plate.at("matchType").get<int>();
        if (match < 0 || match > 6) {
            fail(where + ".matchType", "must be 0 to 6, not " + std::to_string(match));
        }
    }
    if (plate.contains("yoloInfo")) {
        const json& boxes = plate.at("yoloInfo");
        checkRectangles(boxes, where + ".yoloInfo", {"left", "top", "width", "height", "classId"});
        for (size_t i = 0; i < boxes.size(); ++i) {
            std::string at = where + ".yoloInfo[" + std::to_string(i) + "]";
            field(boxes[i], at, "className", Kind::String, true);
            field(boxes[i], at, "confidence", Kind::Number, true);
        }
    }
    if (plate.contains("plate")) {
        checkImage(plate.at("plate"), where + ".plate", "plate_" + std::to_string(index), ctx);
    }
}

void EventValidator::checkFrame(const json& frame, size_t index, Context& ctx) const {
    const std::string where = "frames[" + std::to_string(index) + "]";
    if (!frame.is_object()) {
        fail(where, "must be an object");
    }
    checkKeys(frame, where, ctx.version,
              {{"guid", Kind::String, 103, true},
               {"srcId", Kind::Integer, 103, true},
               {"src", Kind::String, 103, true},
               {"ts", Kind::Integer, 103, true},
               {"width", Kind::Integer, 103, true},
               {"height", Kind::Integer, 103, true},
               {"image", Kind::Object, 103, false}});
    if (frame.contains("image")) {
        checkImage(frame.at("image"), where + ".image", "frame_" + std::to_string(index), ctx);
    }
}

void EventValidator::checkTrigger(const json& trigger, const std::string& where) const {
    checkKeys(trigger, where, 0,
              {{"laneId", Kind::Integer, 0, true},
               {"triggerId", Kind::Integer, 0, true},
               {"triggerTimestamp", Kind::Integer, 0, true},
               {"triggerGuid", Kind::String, 0, false},
               {"laneName", Kind::String, 0, false},
               {"vehicleGuid", Kind::String, 0, false},
               {"triggerName", Kind::String, 0, false},
               {"eventId", Kind::Integer, 0, false},
               {"eventData", Kind::String, 0, false},
               {"triggerSource", Kind::String, 0, false},
               {"additional_data", Kind::Array, 0, false}});
    if (trigger.contains("additional_data")) {
        const json& extra = trigger.at("additional_data");
        for (size_t i = 0; i < extra.size(); ++i) {
            std::string at = where + ".additional_data[" + std::to_string(i) + "]";
            if (!extra[i].is_object()) {
                fail(at, "must be an object");
            }
            field(extra[i], at, "name", Kind::String, true);
            field(extra[i], at, "value", Kind::String, true);
        }
    }
}

void EventValidator::checkImage(const json& image, const std::string& where, const std::string& name,
                                Context& ctx) const {
    if (field(image, where, "format", Kind::String, true)->get<std::string>() != "jpeg") {
        fail(where + ".format", "must be \"jpeg\"");
    }
    int width = field(image, where, "width", Kind::Integer, true)->get<int>();
    int height = field(image, where, "height", Kind::Integer, true)->get<int>();
    ReceivedImage received{where, name, {}, width, height};
    if (ctx.parts == nullptr) {
        if (image.contains("part")) {
            fail(where, "\"part\" is only for multipart requests");
        }
        const std::string& data =
            field(image, where, "data", Kind::String, true)->get_ref<const std::string&>();
        try {
            auto bytes = Base64::decode(data);
            received.jpeg.assign(bytes.begin(), bytes.end());
        } catch (const std::invalid_argument& e) {
            fail(where + ".data", e.what());
        }
    } else {
        if (image.contains("data")) {
            fail(where, "\"data\" is only for application/json requests");
        }
        std::string part = field(image, where, "part", Kind::String, true)->get<std::string>();
        if (part != name) {
            fail(where + ".part", "must be \"" + name + "\", not \"" + part + "\"");
        }
        auto it = ctx.parts->find(part);
        if (it == ctx.parts->end()) {
            fail(where + ".part", "names part \"" + part + "\", which the request does not have");
        }
        if (!ctx.usedParts.insert(part).second) {
            fail(where + ".part", "part \"" + part + "\" is used twice");
        }
        received.jpeg = it->second;
    }
    std::vector<unsigned char> bytes(received.jpeg.begin(), received.jpeg.end());
    // JPEG's start-of-image marker: another format that OpenCV could read is still refused.
    bool jpegMarker = bytes.size() > 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
    cv::Mat decoded = jpegMarker ? cv::imdecode(bytes, cv::IMREAD_UNCHANGED) : cv::Mat();
    if (decoded.empty()) {
        fail(where, "is not a readable JPEG picture");
    }
    if (decoded.cols != width || decoded.rows != height) {
        fail(where, "declares " + std::to_string(width) + "x" + std::to_string(height) +
                        " but the picture is " + std::to_string(decoded.cols) + "x" +
                        std::to_string(decoded.rows));
    }
    ctx.images.push_back(std::move(received));
}
