#include "qo_common/event_poster/QEVATriggerEvent.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <stdexcept>

#include "qo_common/utils/BoundedJson.h"
#include "qo_common/utils/JsonBrief.h"

using nlohmann::json;

namespace {

std::string brief(const json& value) {
    return ek::briefJson(value);
}

[[noreturn]] void bad(const std::string& key, const std::string& why) {
    throw std::runtime_error("trigger: key \"" + key + "\" " + why);
}

int64_t toInteger(const json& value, const std::string& key) {
    if (value.is_number_unsigned()) {
        if (value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            bad(key, "is out of range");
        }
        return static_cast<int64_t>(value.get<uint64_t>());
    }
    if (!value.is_number_integer()) {
        bad(key, "must be an integer, got " + brief(value));
    }
    return value.get<int64_t>();
}

std::string toText(const json& value, const std::string& key) {
    if (!value.is_string()) {
        bad(key, "must be a string, got " + brief(value));
    }
    return value.get<std::string>();
}

int64_t requiredInteger(const json& doc, const std::string& key) {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) {
        bad(key, "is missing");
    }
    return toInteger(*it, key);
}

// A missing or null text is the empty text.
std::string text(const json& doc, const std::string& key) {
    auto it = doc.find(key);
    return it == doc.end() || it->is_null() ? std::string() : toText(*it, key);
}

std::optional<int64_t> optionalInteger(const json& doc, const std::string& key) {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) {
        return std::nullopt;
    }
    return toInteger(*it, key);
}

std::optional<std::string> optionalText(const json& doc, const std::string& key) {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) {
        return std::nullopt;
    }
    return toText(*it, key);
}

std::vector<AdditionalData> additionalData(const json& doc) {
    const std::string key = "additional_data";
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) {
        return {};
    }
    if (!it->is_array()) {
        bad(key, "must be an array, got " + brief(*it));
    }
    std::vector<AdditionalData> items;
    for (size_t i = 0; i < it->size(); ++i) {
        const json& entry = (*it)[i];
        const std::string entryKey = key + "[" + std::to_string(i) + "]";
        if (!entry.is_object()) {
            bad(entryKey, "must be an object with \"name\" and \"value\", got " + brief(entry));
        }
        for (const char* field : {"name", "value"}) {
            if (!entry.contains(field)) {
                bad(entryKey + "." + field, "is missing");
            }
        }
        items.push_back(
            {toText(entry.at("name"), entryKey + ".name"), toText(entry.at("value"), entryKey + ".value")});
    }
    return items;
}

}  // namespace

QEVATriggerEvent QEVATriggerEvent::parse(const std::string& body) {
    // Bounded: the body is untrusted, and a deep one would overflow the stack when copied.
    const json doc = ek::parseBoundedJson(body, "trigger");
    if (!doc.is_object()) {
        throw std::runtime_error("trigger: the body must be a JSON object, got " + brief(doc));
    }
    QEVATriggerEvent event;
    event.laneId = requiredInteger(doc, "laneId");
    event.triggerId = requiredInteger(doc, "triggerId");
    event.triggerGuid = text(doc, "triggerGuid");
    event.laneName = text(doc, "laneName");
    event.vehicleGuid = text(doc, "vehicleGuid");
    event.triggerName = text(doc, "triggerName");
    event.triggerTimestamp = requiredInteger(doc, "triggerTimestamp");
    event.eventId = optionalInteger(doc, "eventId");
    event.eventData = optionalText(doc, "eventData");
    event.triggerSource = optionalText(doc, "triggerSource");
    event.additional_data = additionalData(doc);
    return event;
}

std::string QEVATriggerEvent::toString(ek::Protocols /*protocol*/) const {
    json doc = {{"laneId", laneId},
                {"triggerId", triggerId},
                {"triggerGuid", triggerGuid},
                {"laneName", laneName},
                {"vehicleGuid", vehicleGuid},
                {"triggerName", triggerName},
                {"triggerTimestamp", triggerTimestamp}};
    if (eventId) {
        doc["eventId"] = *eventId;
    }
    if (eventData) {
        doc["eventData"] = *eventData;
    }
    if (triggerSource) {
        doc["triggerSource"] = *triggerSource;
    }
    json extra = json::array();
    for (const auto& item : additional_data) {
        extra.push_back({{"name", item.name}, {"value", item.value}});
    }
    doc["additional_data"] = std::move(extra);
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}
