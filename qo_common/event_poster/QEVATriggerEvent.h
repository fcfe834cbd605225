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

// One external trigger. Its text form is JSON with keys named after the fields.
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

    // Throws std::runtime_error naming the bad or missing key.
    static QEVATriggerEvent parse(const std::string& text);
    std::string toString(ek::Protocols protocol = ek::Protocols::Latest) const;

    bool operator==(const QEVATriggerEvent&) const = default;
};
