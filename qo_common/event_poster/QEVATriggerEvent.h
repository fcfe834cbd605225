#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qo_common/event_poster/Protocols.h"

struct AdditionalData {
    std::string name;
    std::string value;
    bool operator==(const AdditionalData&) const = default;
};

// One external trigger. Its text form is one JSON object with keys named after the fields:
//   "laneId", "triggerId", "triggerTimestamp" (ms): integers, required;
//   "triggerGuid", "laneName", "vehicleGuid", "triggerName": strings, missing or null = "";
//   "eventId" (integer), "eventData", "triggerSource" (strings): optional, missing or null = absent;
//   "additional_data": array of {"name": string, "value": string}, missing or null = empty.
// Other keys are ignored. `poison` is not part of the text form: a parsed trigger is never poison.
struct QEVATriggerEvent {
    int64_t laneId = 0;
    int64_t triggerId = 0;
    std::string triggerGuid;
    std::string laneName;
    std::string vehicleGuid;
    std::string triggerName;
    int64_t triggerTimestamp = 0;
    std::optional<int64_t> eventId;
    std::optional<std::string> eventData;
    std::optional<std::string> triggerSource;
    bool poison = false;
    std::vector<AdditionalData> additional_data;

    // Throws std::runtime_error naming the bad or missing key (or saying the text is not a JSON
    // object). parse(x.toString()) == x for every record whose `poison` is false and whose texts
    // are valid UTF-8.
    static QEVATriggerEvent parse(const std::string& text);
    // Compact JSON in the form above, the same for every protocol version; absent optionals are
    // left out. Never throws: bytes that are not valid UTF-8 become U+FFFD.
    std::string toString(ek::Protocols protocol = ek::Protocols::Latest) const;

    bool operator==(const QEVATriggerEvent&) const = default;
};
